#include "folder_request.h"

#include "../log_text.h"

namespace qmss {

static uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::optional<FolderRequest> parse_folder_request(const uint8_t* bytes, size_t n) {
  bool bad = n < 2 || le16(bytes) > n || n < 4;
  size_t name_len = bad ? 0 : le16(bytes + 2);
  if (bad || n < name_len + 4 || n < name_len + 5) {
    ORV_LOG(Error, "Invalid message length %zu\n", n);
    return std::nullopt;
  }
  FolderRequest r;
  r.folder.assign(reinterpret_cast<const char*>(bytes + 4), name_len);
  r.op = bytes[4 + name_len];
  return r;
}

}  // namespace qmss
