#include "runtime/UserDatabase.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace orv {

namespace {

// The C library's own hint, grown while it reports ERANGE (an entry with a
// long list of fields); the bound keeps a broken NSS module from making
// this allocate without end.
constexpr std::size_t kMaxBuffer = std::size_t{1} << 20;

template <typename Lookup>
std::optional<PasswdEntry> findWith(Lookup lookup, std::error_code& ec) {
    ec.clear();
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    passwd pw{};
    passwd* found = nullptr;
    for (;;) {
        const int rc = lookup(&pw, buf.data(), buf.size(), &found);
        if (rc == EINTR) continue;
        if (rc == ERANGE && buf.size() < kMaxBuffer) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0) {
            ec.assign(rc, std::generic_category());
            return std::nullopt;
        }
        break;
    }
    if (found == nullptr) return std::nullopt;
    PasswdEntry entry;
    entry.name = pw.pw_name != nullptr ? pw.pw_name : "";
    entry.dir = pw.pw_dir != nullptr ? pw.pw_dir : "";
    entry.uid = pw.pw_uid;
    entry.gid = pw.pw_gid;
    return entry;
}

}  // namespace

std::optional<PasswdEntry> findUser(uid_t uid, std::error_code& ec) {
    return findWith([uid](passwd* pw, char* buf, std::size_t len,
                          passwd** found) { return ::getpwuid_r(uid, pw, buf, len, found); },
                    ec);
}

std::optional<PasswdEntry> findUser(const std::string& name, std::error_code& ec) {
    return findWith([&name](passwd* pw, char* buf, std::size_t len,
                            passwd** found) { return ::getpwnam_r(name.c_str(), pw, buf, len, found); },
                    ec);
}

}  // namespace orv
