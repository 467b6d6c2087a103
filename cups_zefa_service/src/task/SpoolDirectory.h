// Removes print files from the spool directory, and nothing else. The
// directory is opened once and every removal is made relative to that
// descriptor, so neither a renamed parent nor a planted link can redirect an
// unlink as root to another file.
#pragma once

#include <mutex>
#include <string>

#include <runtime/UniqueFd.h>

#include "task/PrintFileRegistry.h"
#include "task/SpoolDir.h"

namespace czs {

class SpoolDirectory {
public:
    explicit SpoolDirectory(std::string path = kSpoolDir);

    /// Unlinks `file` when it lies directly in this directory and is still
    /// the very file that was registered (same device and inode, a regular
    /// file, not a link). Anything else is left alone and logged. Safe to
    /// call from any thread.
    bool remove(const SpoolFile& file);

private:
    // Opens the directory on first use (the backend creates it with its
    // first job, possibly after the daemon started). Caller holds mutex_.
    bool pin();

    std::mutex mutex_;
    std::string path_;       // as configured
    std::string canonical_;  // resolved when pinned
    orv::UniqueFd fd_;
};

}  // namespace czs
