// Turns the host's printer list (the "data" of a discovery response) into
// printer records, stores the host's print metadata, and has the
// PrinterManager make CUPS match the list.
#pragma once

#include <nlohmann/json.hpp>

#include "common/HostTransport.h"
#include "printer/PrinterManager.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "task/PrintFileRegistry.h"

namespace czs {

class UpdatePrintersPerformer {
public:
    // `transport` is the host channel the service opened; the queues' device
    // URIs name its path. The registry is borrowed and must outlive the
    // performer. With `followHostDefault` the host's default printer becomes
    // the CUPS default (see PrinterManager).
    // `printFormat` decides what the queues hand to the host (the host's
    // "print-file-format" by default).
    UpdatePrintersPerformer(HostTransport transport, PrintFileRegistry& registry, bool followHostDefault,
                            PrintFormatSetting printFormat = PrintFormatSetting::Host);

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
    std::string m_transportPath;
    PrintFileRegistry& m_registry;
    PrintFormatSetting m_printFormat;
};

}  // namespace czs
