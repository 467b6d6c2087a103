#include "task/SpoolDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <runtime/Log.h>

namespace czs {
namespace {
constexpr const char* kLogTag = "SpoolDirectory";
}

SpoolDirectory::SpoolDirectory(std::string path) : path_(std::move(path)) {}

bool SpoolDirectory::pin() {
    if (fd_) return true;
    char resolved[PATH_MAX];
    if (::realpath(path_.c_str(), resolved) == nullptr) return false;
    orv::UniqueFd fd(::open(resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return false;
    // Only a private directory of ours: whoever else can write in it could
    // have swapped a file the daemon is about to remove.
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ORV_LOG(Error, "spool directory %s is not private, nothing removed\n", resolved);
        return false;
    }
    canonical_ = resolved;
    fd_ = std::move(fd);
    return true;
}

bool SpoolDirectory::remove(const SpoolFile& file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!pin()) return false;
    const std::string prefix = canonical_ + "/";
    if (file.path.compare(0, prefix.size(), prefix) != 0 || file.path.find('/', prefix.size()) != std::string::npos ||
        file.path.size() == prefix.size()) {
        ORV_LOG(Error, "%s is not directly in %s, left in place\n", file.path.c_str(), canonical_.c_str());
        return false;
    }
    const char* name = file.path.c_str() + prefix.size();
    struct stat st {};
    if (::fstatat(fd_.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            ORV_LOG(Error, "cannot check %s: %s\n", file.path.c_str(), std::strerror(errno));
        }
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_dev != file.device || st.st_ino != file.inode ||
        st.st_mtim.tv_sec != file.modified.tv_sec || st.st_mtim.tv_nsec != file.modified.tv_nsec) {
        // Another file has taken the name since it was announced.
        ORV_LOG(Error, "%s is no longer the announced file, left in place\n", file.path.c_str());
        return false;
    }
    if (::unlinkat(fd_.get(), name, 0) != 0) {
        ORV_LOG(Error, "cannot remove %s: %s\n", file.path.c_str(), std::strerror(errno));
        return false;
    }
    ORV_LOG(Info, "removed print file %s\n", file.path.c_str());
    return true;
}

}  // namespace czs
