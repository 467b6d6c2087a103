// Turns the host's printer list (the "data" of a discovery response) into
// printer records, stores the host's print metadata, and has the
// PrinterManager make CUPS match the list.
#pragma once

#include <nlohmann/json.hpp>

#include "printer/PrinterManager.h"
#include "printer/TransportProbe.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "task/PrintFileRegistry.h"

namespace czs {

class UpdatePrintersPerformer {
public:
    explicit UpdatePrintersPerformer(TransportProbe probe = TransportProbe(),
                                     PrintFileRegistry& registry = PrintFileRegistry::instance());

    // Keeps the message's "data" member (null when there is none, or when
    // the document is not an object) and stores the metadata it carries.
    // The JSON library's type errors propagate.
    void parseParameters(const PrintProtocolJsonMsg& message);

    // Copies "meta"/"platform" and "meta"/"print-file-format" (empty when
    // missing) into the registry.
    void setMetaData();

    // Builds one record per device and hands the whole list to the manager;
    // CUPS is touched only after every device has been read.
    void updatePrinters();

    const PrinterManager& manager() const { return m_manager; }

private:
    static constexpr const char* kLogTag = "UpdatePrintersPerformer";

    PrinterManager m_manager;
    nlohmann::json m_json;
    TransportProbe m_probe;
    PrintFileRegistry& m_registry;
};

}  // namespace czs
