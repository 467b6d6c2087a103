// The shares this service has mounted, kept in a root-only file under /run
// so that a new instance (after a restart, an upgrade or a crash) can adopt
// them. Written after every change; read once at start. The file is only a
// hint: every record is checked against the mount table before it is used.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qmss {

struct ShareRecord {
    uint64_t mnt_id = 0;
    int32_t pid = 0;  // of the user's login, as the user agent reported it
    uid_t uid = 0;
    gid_t gid = 0;
    std::string username;
    std::string homedir;
    std::string folder;   // as the host named it
    std::string path;     // the mount point as built
    std::string name;     // its last component
    std::string staging;  // where davfs2 mounted it (names its daemon)
};

/// The file's text; strings percent-encoded so that any byte round-trips.
std::string format_share_records(const std::vector<ShareRecord>& records);

/// The records of a file's text. A text without the expected first line
/// gives none; a malformed line is skipped and counted in *bad.
std::vector<ShareRecord> parse_share_records(const std::string& text, size_t* bad = nullptr);

/// The line `systemctl status` shows: how many shares are mounted, for whom.
std::string shares_status_line(const std::vector<ShareRecord>& records);

/// The run directory of the service, root's alone.
inline constexpr const char* kServiceRunDir = "/run/quor-mounting-shdir-service";

class ShareStateStore {
public:
    /// `dir` is created 0700 when missing (its parent must exist).
    explicit ShareStateStore(std::string dir = kServiceRunDir);
    /// Replaces the file atomically; false (logged) on failure.
    bool save(const std::vector<ShareRecord>& records);
    /// The records, or none when the file is missing, or when it or its
    /// directory is not root's alone (logged: someone else wrote it).
    std::vector<ShareRecord> load();

private:
    std::string dir_;
};

}  // namespace qmss
