#include "mount/StagingName.h"

#include <cstdio>

namespace qmss {

uint64_t stable_hash(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string staging_name(uid_t uid, const std::string& folder, unsigned slot) {
    char head[64];
    std::snprintf(head, sizeof head, "u%u-%016llx-", static_cast<unsigned>(uid),
                  static_cast<unsigned long long>(stable_hash(folder)));
    // The tail only helps a reader of /run and of davfs2's cache; the hash
    // alone tells shares apart.
    size_t slash = folder.find_last_of('/');
    std::string base = slash == std::string::npos ? folder : folder.substr(slash + 1);
    std::string tail;
    for (unsigned char c : base) {
        if (tail.size() >= 24) break;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '_' || c == '-';
        tail += plain ? static_cast<char>(c) : '_';
    }
    std::string name = head + tail;
    if (slot > 0) name += "-" + std::to_string(slot);
    return name;
}

}  // namespace qmss
