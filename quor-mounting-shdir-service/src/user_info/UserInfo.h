// The logged-in user as the per-user agent reports it, and the check that
// turns one 8-byte {pid, uid} record into one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "runtime/UserDatabase.h"

namespace qmss {

struct UserInfo {
    std::string username;
    std::string homedir;
    int32_t pid = 0;
    // Kept so that directories made for mounting can be handed to the user.
    uint32_t uid = 0;
    uint32_t gid = 0;
};

inline constexpr size_t kUserInfoRecordSize = 8;

using PasswdEntry = orv::PasswdEntry;

using PasswdLookup = std::function<std::optional<PasswdEntry>(uint32_t uid)>;

// The system user database; a user it cannot read counts as unknown.
std::optional<PasswdEntry> system_passwd_lookup(uint32_t uid);

// Decodes the record {pid: int32, uid: uint32, host byte order} and checks it
// against the user database; every rejection logs one error line.
std::optional<UserInfo> parse_user_info(std::span<const uint8_t, kUserInfoRecordSize> record,
                                        const PasswdLookup& lookup = system_passwd_lookup);

}  // namespace qmss
