#include "user_info.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "../log_text.h"

namespace qmss {

std::optional<PasswdEntry> system_passwd_lookup(uint32_t uid) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
  passwd pw{};
  passwd* result = nullptr;
  for (;;) {
    int rc = getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return std::nullopt;
    break;
  }
  PasswdEntry e;
  e.name = pw.pw_name ? pw.pw_name : "";
  e.dir = pw.pw_dir ? pw.pw_dir : "";
  e.uid = pw.pw_uid;
  e.gid = pw.pw_gid;
  return e;
}

std::optional<UserInfo> parse_user_info(const uint8_t* record, const PasswdLookup& lookup) {
  int32_t pid = 0;
  uint32_t uid = 0;
  std::memcpy(&pid, record, sizeof pid);
  std::memcpy(&uid, record + 4, sizeof uid);
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
