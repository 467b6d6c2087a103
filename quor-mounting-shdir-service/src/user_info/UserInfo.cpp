#include "user_info/UserInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "LogText.h"

namespace qmss {

std::optional<PasswdEntry> system_passwd_lookup(uint32_t uid) {
    std::error_code ec;
    return orv::findUser(static_cast<uid_t>(uid), ec);
}

std::optional<UserInfo> parse_user_info(std::span<const uint8_t, kUserInfoRecordSize> record,
                                        const PasswdLookup& lookup) {
    int32_t pid = 0;
    uint32_t uid = 0;
    std::memcpy(&pid, record.data(), sizeof pid);
    std::memcpy(&uid, record.subspan<4, 4>().data(), sizeof uid);
    if (pid == 0) {
        ORV_LOG(Error, "Error: parsing user info failed, pid not valid\n");
        return std::nullopt;
    }
    std::optional<PasswdEntry> entry = lookup(uid);
    if (!entry) {
        ORV_LOG(Error, "Error: parsing user info failed, uid not valid\n");
        return std::nullopt;
    }
    if (entry->name.empty()) {
        ORV_LOG(Error, "Error: parsing user info failed, username not valid\n");
        return std::nullopt;
    }
    if (entry->dir.empty()) {
        ORV_LOG(Error, "Error: parsing user info failed, homedir not valid\n");
        return std::nullopt;
    }
    struct stat st {};
    if (lstat(entry->dir.c_str(), &st) != 0) {
        ORV_LOG(Error, "Error: parsing user info failed, homedir not exists\n");
        return std::nullopt;
    }
    UserInfo info;
    info.username = entry->name;
    info.homedir = entry->dir;
    info.pid = pid;
    info.uid = entry->uid;
    info.gid = entry->gid;
    return info;
}

}  // namespace qmss
