// The kernel's view of the mounts (/proc/self/mountinfo): what adoption
// checks a recorded share against, since the record alone proves nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmss {

struct MountEntry {
    uint64_t id = 0;
    std::string mount_point;  // unescaped
    std::string fstype;
    std::string source;  // unescaped
};

/// The entries of a mountinfo text; malformed lines are skipped.
std::vector<MountEntry> parse_mountinfo(const std::string& text);
/// The calling process's mount table; empty when it cannot be read.
std::vector<MountEntry> read_mountinfo(const std::string& path = "/proc/self/mountinfo");
/// The entry with that mount id.
std::optional<MountEntry> find_mount(const std::vector<MountEntry>& table, uint64_t id);
/// A path with repeated slashes folded and no trailing slash, as the kernel
/// shows a mount point ("/h/davfs//s" → "/h/davfs/s").
std::string fold_slashes(const std::string& path);

}  // namespace qmss
