// An owned directory stream: closedir exactly once, when its owner goes away.
#pragma once

#include <dirent.h>

#include <memory>

#include "runtime/UniqueFd.h"

namespace orv {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

/// A directory stream owned by its holder; empty when opening failed (errno says why).
using DirStream = std::unique_ptr<DIR, DirCloser>;

/// Opens the directory at `path` for reading its entries.
inline DirStream openDirStream(const char* path) noexcept {
    return DirStream(::opendir(path));
}

/// Turns an owned directory descriptor into a stream over it. The stream takes
/// the descriptor: on failure it is closed here.
inline DirStream dirStreamOf(UniqueFd dirfd) noexcept {
    if (!dirfd) return DirStream();
    DIR* dir = ::fdopendir(dirfd.get());
    if (dir) dirfd.release();
    return DirStream(dir);
}

}  // namespace orv
