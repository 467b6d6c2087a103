// The system user database (passwd), read with the reentrant getpw*_r calls:
// both daemons look users up from several threads, where getpwnam/getpwuid's
// shared static buffer is unsafe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace orv {

/// One user's entry, copied out of the C library's buffer (owns its text).
struct PasswdEntry {
    std::string name;
    std::string dir;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
};

/// The entry of the user `uid`. Nothing when no user has it or the database
/// cannot be read; `ec` then holds the reason, or stays clear when there is
/// simply no such user.
std::optional<PasswdEntry> findUser(uid_t uid, std::error_code& ec);

/// The entry of the user named `name`, with `ec` as for the uid form.
std::optional<PasswdEntry> findUser(const std::string& name, std::error_code& ec);

}  // namespace orv
