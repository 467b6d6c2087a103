#include "SafeFs.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace qmss {

namespace {

std::atomic<int> g_openat2_state{0};  // 0 unknown, 1 usable, -1 missing
std::atomic<bool> g_force_walk{false};
RaceHook g_race_hook;

EntryStatus classify(const struct stat& st) {
    EntryStatus s;
    s.owner = st.st_uid;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    if (S_ISDIR(st.st_mode)) {
        s.kind = PathKind::Directory;
    } else if (S_ISREG(st.st_mode) && st.st_nlink == 1) {
        s.kind = PathKind::Regular;
    } else {
        s.kind = PathKind::Other;
    }
    return s;
}

std::vector<std::string> components(const std::string& rel) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= rel.size()) {
        size_t next = rel.find('/', pos);
        if (next == std::string::npos) next = rel.size();
        std::string c = rel.substr(pos, next - pos);
        if (!c.empty() && c != ".") out.push_back(std::move(c));
        pos = next + 1;
    }
    return out;
}

orv::Result<orv::UniqueFd> opened(int fd) {
    if (fd < 0) return orv::Error::lastErrno();
    return orv::UniqueFd(fd);
}

orv::Result<orv::UniqueFd> walk_beneath(int dirfd, const std::vector<std::string>& parts, int flags, mode_t mode) {
    if (parts.empty()) return opened(openat(dirfd, ".", flags | O_CLOEXEC, mode));
    orv::UniqueFd cur;
    int at = dirfd;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        orv::UniqueFd next(openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return orv::Error::lastErrno();
        cur = std::move(next);
        at = cur.get();
    }
    const std::string& last = parts.back();
    // O_PATH|O_NOFOLLOW would open a link itself instead of refusing it.
    if ((flags & O_PATH) && !(flags & O_DIRECTORY)) {
        struct stat st {};
        if (fstatat(at, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            return orv::Error::fromErrno(ELOOP);
        }
    }
    return opened(openat(at, last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
}

}  // namespace

EntryStatus entry_status(int dirfd, const std::string& name) {
    struct stat st {};
    if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        EntryStatus s;
        if (errno == ENOENT) {
            s.kind = PathKind::Missing;
        } else {
            s.kind = PathKind::Error;
            s.error = errno;
        }
        return s;
    }
    return classify(st);
}

EntryStatus fd_status(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        EntryStatus s;
        s.kind = PathKind::Error;
        s.error = errno;
        return s;
    }
    return classify(st);
}

orv::Result<orv::UniqueFd> open_dir(const std::string& path) {
    return opened(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool openat2_in_use() {
    if (g_force_walk.load()) return false;
    int state = g_openat2_state.load();
    if (state == 0) {
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
        if (fd >= 0) close(static_cast<int>(fd));
        // ENOSYS on kernels before 5.6; anything else means the call exists.
        state = (fd >= 0 || errno != ENOSYS) ? 1 : -1;
        g_openat2_state.store(state);
    }
    return state > 0;
}

void force_component_walk(bool on) {
    g_force_walk.store(on);
}

orv::Result<orv::UniqueFd> open_beneath(int dirfd, const std::string& rel, int flags, mode_t mode) {
    if (!rel.empty() && rel[0] == '/') return orv::Error::fromErrno(EXDEV);
    std::vector<std::string> parts = components(rel);
    for (const auto& p : parts) {
        // Refused in both resolvers alike: ".." inside the tree can be raced
        // (a directory moved out while it is walked).
        if (p == "..") return orv::Error::fromErrno(EXDEV);
    }
    if (openat2_in_use()) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        std::string path = rel.empty() ? "." : rel;
        for (int tries = 0; tries < 8; ++tries) {
            long fd = syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how);
            if (fd >= 0) return orv::UniqueFd(static_cast<int>(fd));
            // EAGAIN: a rename raced the lookup; the kernel asks for a retry.
            if (errno != EAGAIN) break;
        }
        if (errno != ENOSYS && errno != E2BIG) return orv::Error::lastErrno();
        g_openat2_state.store(-1);
    }
    return walk_beneath(dirfd, parts, flags, mode);
}

orv::Result<orv::UniqueFd> open_regular(int dirfd, const std::string& name, int flags, mode_t mode) {
    orv::UniqueFd fd(openat(dirfd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd) return orv::Error::lastErrno();
    EntryStatus st = fd_status(fd.get());
    if (st.kind != PathKind::Regular) {
        return orv::Error::fromErrno(st.kind == PathKind::Error ? st.error : EINVAL);
    }
    return fd;
}

std::optional<std::string> read_all(int fd) {
    std::string out;
    char buf[8192];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (r == 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

orv::Result<void> write_all(int fd, std::string_view content) {
    size_t off = 0;
    while (off < content.size()) {
        ssize_t w = write(fd, content.data() + off, content.size() - off);
        if (w < 0) {
            if (errno == EINTR) continue;
            return orv::Error::lastErrno("write");
        }
        off += static_cast<size_t>(w);
    }
    return {};
}

orv::Result<void> replace_in_dir(int dirfd, const std::string& name, std::string_view content, mode_t mode) {
    const std::string tmp = name + ".tmp";
    // A leftover temporary file (or anything planted under its name) is
    // replaced, never written through.
    if (unlinkat(dirfd, tmp.c_str(), 0) != 0 && errno != ENOENT) return orv::Error::lastErrno("open");
    orv::UniqueFd f(openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!f) return orv::Error::lastErrno("open");
    int err = write_all(f.get(), content).errnum();
    if (err == 0 && fsync(f.get()) != 0) err = errno;
    if (err == 0 && fchmod(f.get(), mode) != 0) err = errno;
    if (err != 0) {
        unlinkat(dirfd, tmp.c_str(), 0);
        return orv::Error::fromErrno(err, "open");
    }
    race_point("replace:before-rename");
    if (renameat(dirfd, tmp.c_str(), dirfd, name.c_str()) != 0) return orv::Error::lastErrno("rename");
    // The user may own the directory: make sure what now carries the name is
    // the file written here, not one put in its place under the ".tmp" name.
    EntryStatus now = entry_status(dirfd, name);
    EntryStatus mine = fd_status(f.get());
    if (now.kind != PathKind::Regular || now.dev != mine.dev || now.ino != mine.ino) {
        return orv::Error::fromErrno(EXDEV, "rename");
    }
    return {};
}

orv::Result<void> append_in_dir(int dirfd, const std::string& name, std::string_view content, mode_t mode) {
    auto f = open_regular(dirfd, name, O_WRONLY | O_APPEND | O_CREAT, mode);
    if (!f) return orv::Error::fromErrno(f.errnum(), "open");
    if (auto w = write_all(f->get(), content); !w) return w;
    if (fsync(f->get()) != 0) return orv::Error::lastErrno("fsync");
    return {};
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::optional<std::string> relative_beneath(const std::string& path, const std::string& base) {
    if (path.empty() || path[0] != '/' || base.empty() || base[0] != '/') return std::nullopt;
    std::vector<std::string> b = components(base);
    std::vector<std::string> p = components(path);
    for (const auto& c : b) {
        if (c == "..") return std::nullopt;
    }
    if (p.size() < b.size()) return std::nullopt;
    for (size_t i = 0; i < b.size(); ++i) {
        if (p[i] != b[i]) return std::nullopt;
    }
    std::string rel;
    for (size_t i = b.size(); i < p.size(); ++i) {
        if (p[i] == "..") return std::nullopt;
        if (!rel.empty()) rel += "/";
        rel += p[i];
    }
    return rel;
}

void set_race_hook(RaceHook hook) {
    g_race_hook = std::move(hook);
}

void race_point(const std::string& point) {
    if (g_race_hook) g_race_hook(point);
}

}  // namespace qmss
