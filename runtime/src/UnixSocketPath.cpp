#include "runtime/UnixSocketPath.h"

#include "runtime/Log.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <random>

namespace orv {
namespace {

constexpr int kRounds = 5;
constexpr const char* kStagedName = "s";

std::error_code lastError() {
    return {errno, std::system_category()};
}

std::string randomSuffix() {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    std::string s(8, 'x');
    for (auto& c : s)
        c = kAlphabet[rd() % (sizeof kAlphabet - 1)];
    return s;
}

// Fills `addr` with `path`; false when it does not fit sun_path.
bool fillAddress(sockaddr_un& addr, const std::string& path) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A private directory next to the socket path, made by us with mode 0700:
// nobody else can enter it, so what we bind and chmod inside stays ours.
struct Staging {
    int parent = -1;
    std::string name;
    UniqueFd fd;
    ~Staging() {
        if (parent < 0 || name.empty()) return;
        if (fd) ::unlinkat(fd.get(), kStagedName, 0);
        ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
    }
};

// Takes away what stands at `name` in `dir` (not a link's target). Returns
// false with errno set when it could not.
bool clearPath(int dir, const std::string& name, const std::string& path) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    ORV_LOG(Debug, "Cleanup socket %s\n", path.c_str());
    if (S_ISSOCK(st.st_mode)) {
        if (st.st_uid != ::geteuid()) {
            ORV_LOG(Warning, "%s was a socket of uid %u, not ours; removed it\n", path.c_str(),
                    static_cast<unsigned>(st.st_uid));
        }
        return ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        ORV_LOG(Warning, "%s was %s of uid %u, not our socket; removed it\n", path.c_str(), fileTypeName(st.st_mode),
                static_cast<unsigned>(st.st_uid));
        return ::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) {
        ORV_LOG(Warning, "%s was an empty directory of uid %u, not our socket; removed it\n", path.c_str(),
                static_cast<unsigned>(st.st_uid));
        return true;
    }
    if (errno != ENOTEMPTY && errno != EEXIST) return errno == ENOENT;
    // Someone else's tree: moved aside whole (one atomic rename that neither
    // follows links nor deletes anything of theirs), never walked.
    for (int i = 0; i < kRounds; ++i) {
        const std::string aside = "." + name + ".moved-" + randomSuffix();
        if (::renameat2(dir, name.c_str(), dir, aside.c_str(), RENAME_NOREPLACE) == 0) {
            ORV_LOG(Warning, "%s was a non-empty directory of uid %u, not our socket; moved it aside to %s\n",
                    path.c_str(), static_cast<unsigned>(st.st_uid), aside.c_str());
            return true;
        }
        if (errno == ENOENT) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

const char* fileTypeName(mode_t mode) noexcept {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "a file of unknown type";
}

std::error_code bindUnixSocket(const std::string& path, mode_t mode, UniqueFd& listener, UnixSocketFile& file,
                               int backlog) {
    const auto slash = path.rfind('/');
    const std::string dirPath = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return std::make_error_code(std::errc::invalid_argument);

    UniqueFd dir(::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return lastError();

    Staging staging;
    staging.parent = dir.get();
    for (int i = 0; i < kRounds && !staging.fd; ++i) {
        const std::string candidate = "." + name + ".new-" + randomSuffix();
        if (::mkdirat(dir.get(), candidate.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            return lastError();
        }
        staging.name = candidate;
        staging.fd.reset(::openat(dir.get(), candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!staging.fd) return lastError();
        struct stat st {};
        if (::fstat(staging.fd.get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
            return std::make_error_code(std::errc::permission_denied);
        }
    }
    if (!staging.fd) return std::make_error_code(std::errc::file_exists);

    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) return lastError();
    // The staging directory is reached through our own descriptor, so a long
    // directory path cannot push the address past sun_path.
    sockaddr_un addr{};
    if (!fillAddress(addr, dirPath + "/" + staging.name + "/" + kStagedName) &&
        !fillAddress(addr, "/proc/self/fd/" + std::to_string(staging.fd.get()) + "/" + kStagedName)) {
        return std::make_error_code(std::errc::filename_too_long);
    }
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return lastError();
    // Set while nobody else can reach the file: no chmod on a path a user
    // could swap, and no process-wide umask that another thread shares.
    if (::fchmodat(staging.fd.get(), kStagedName, mode, 0) != 0) return lastError();
    struct stat bound {};
    if (::fstatat(staging.fd.get(), kStagedName, &bound, AT_SYMLINK_NOFOLLOW) != 0) return lastError();
    if (::listen(sock.get(), backlog) != 0) return lastError();

    for (int i = 0; i < kRounds; ++i) {
        if (!clearPath(dir.get(), name, path)) return lastError();
        // RENAME_NOREPLACE: anything planted since we looked is examined in
        // the next round, never silently replaced.
        if (::renameat2(staging.fd.get(), kStagedName, dir.get(), name.c_str(), RENAME_NOREPLACE) == 0) {
            listener = std::move(sock);
            file = UnixSocketFile(std::move(dir), name, path, bound.st_dev, bound.st_ino);
            return {};
        }
        if (errno != EEXIST) return lastError();
    }
    ORV_LOG(Error, "%s keeps being taken by someone else; giving up for now\n", path.c_str());
    return std::make_error_code(std::errc::address_in_use);
}

void UnixSocketFile::remove() {
    if (removed_ || !dir_) return;
    removed_ = true;
    struct stat st {};
    if (::fstatat(dir_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISSOCK(st.st_mode) || st.st_dev != dev_ || st.st_ino != ino_) return;  // not ours any more
    ORV_LOG(Debug, "Cleanup socket %s\n", path_.c_str());
    if (::unlinkat(dir_.get(), name_.c_str(), 0) != 0 && errno != ENOENT) {
        const int e = errno;
        ORV_LOG(Error, "Error[%d]: while removing socket %s. Reason: %s\n", e, path_.c_str(), std::strerror(e));
    }
}

}  // namespace orv
