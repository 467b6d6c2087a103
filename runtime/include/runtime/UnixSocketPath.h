// Putting a Unix socket at a fixed path in a directory every user can write
// (sticky /tmp), as root, without ever acting on something a user planted
// there: whatever stands at the path and is not our socket is taken away
// (unlinked, or moved aside when it is a non-empty directory) through a
// pinned descriptor of the directory, never by following a link, and the
// socket only appears at the path by an atomic rename from a private
// directory, with its mode already set.
#pragma once

#include <sys/types.h>

#include <string>
#include <system_error>

#include "runtime/UniqueFd.h"

namespace orv {

/// A socket file we put at a path, remembered so that only that very file is
/// ever removed again.
class UnixSocketFile {
public:
    UnixSocketFile() = default;
    UnixSocketFile(UniqueFd dir, std::string name, std::string path, dev_t dev, ino_t ino)
        : dir_(std::move(dir)), name_(std::move(name)), path_(std::move(path)), dev_(dev), ino_(ino) {}

    /// Removes the socket file if the path still names the file we bound;
    /// anything else found there is left alone. Logs "Cleanup socket <path>"
    /// at debug level when it removes it. Idempotent.
    void remove();
    const std::string& path() const noexcept { return path_; }

private:
    static constexpr const char* kLogTag = "UnixSocketFile";

    UniqueFd dir_;
    std::string name_;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool removed_ = false;
};

/// Creates a Unix stream socket (non-blocking, close-on-exec), binds it at
/// `path` with `mode` and returns it in `listener`, already listening with
/// `backlog` before it appears at the path (so no client is ever refused), with
/// the bound file in `file`. What stood at the path is logged and removed:
/// a socket (a previous run's) at debug level, anything else at warning
/// level naming its type and owner; a non-empty directory is renamed aside
/// to ".<name>.moved-XXXXXX" in the same directory rather than emptied, so
/// nothing of another user's is deleted and no tree is walked. A user who
/// keeps planting things between our steps gets a few rounds, then the
/// error (EADDRINUSE).
std::error_code bindUnixSocket(const std::string& path, mode_t mode, UniqueFd& listener, UnixSocketFile& file,
                               int backlog = 16);

/// The name of a file type for log lines ("a directory", "a symbolic link").
const char* fileTypeName(mode_t mode) noexcept;

}  // namespace orv
