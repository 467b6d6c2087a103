// Turns the CUPS backend's announcement of a spooled print file into the
// "sendfile"/"notification" message for the host: the local path ("abspath")
// is replaced by a fresh random identifier, and identifier -> path goes into
// the PrintFileRegistry for the chunk transfer that follows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/RawStreamData.h"
#include "task/PrintFileRegistry.h"
#include "task/SpoolDir.h"

namespace czs {

class NewFilePerformer {
public:
    // Only regular files inside `spoolDir` are ever announced (and so
    // served). The registry is borrowed and must outlive the performer.
    NewFilePerformer(std::string spoolDir, PrintFileRegistry& registry);

    // Parses the bytes (already checked to be JSON) into the announcement;
    // empty bytes keep the previous one.
    void setData(const RawStreamData& data);
    // Swaps "abspath" for a new "id" and records it. Returns false when the
    // path is refused or the registry is full (logged; nothing recorded).
    // JSON type errors propagate.
    bool modifyJson();
    // The frame payload of the notification, or empty when refused.
    std::vector<uint8_t> createMessage();

    const nlohmann::json& json() const { return json_; }

    static std::array<uint8_t, 16> generateUuid();
    static std::string formatUuid(const std::array<uint8_t, 16>& bytes);

private:
    // The canonical path of `path` if it is a regular file inside the spool
    // directory; logs the reason and returns nothing otherwise.
    std::optional<SpoolFile> admit(const std::string& path) const;

    nlohmann::json json_;
    std::string spoolDir_;
    PrintFileRegistry& registry_;
};

}  // namespace czs
