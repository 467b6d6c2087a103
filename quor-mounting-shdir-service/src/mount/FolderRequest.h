// One request of the host agent: mount, unmount or unmount-all a shared folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qmss {

enum class FolderOp : uint8_t { Unmount = 0, Mount = 1, UnmountAll = 2 };

struct FolderRequest {
    std::string folder;
    uint8_t op = 0;
};

// Layout (little-endian): u16 total length, u16 N, N name bytes, u8 op; bytes
// after the op are ignored. Logs "Invalid message length" and gives nothing
// for a block too short for what it announces.
std::optional<FolderRequest> parse_folder_request(std::span<const uint8_t> bytes);

}  // namespace qmss
