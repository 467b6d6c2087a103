#include "mount/FolderRequest.h"

#include "LogText.h"

namespace qmss {

static uint16_t le16(std::span<const uint8_t, 2> p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

std::optional<FolderRequest> parse_folder_request(std::span<const uint8_t> bytes) {
    const size_t n = bytes.size();
    bool bad = n < 2 || le16(bytes.first<2>()) > n || n < 4;
    size_t name_len = bad ? 0 : le16(bytes.subspan<2, 2>());
    if (bad || n < name_len + 5) {
        ORV_LOG(Error, "Invalid message length %zu\n", n);
        return std::nullopt;
    }
    const std::span<const uint8_t> name = bytes.subspan(4, name_len);
    FolderRequest r;
    r.folder.assign(name.begin(), name.end());
    r.op = bytes[4 + name_len];
    return r;
}

}  // namespace qmss
