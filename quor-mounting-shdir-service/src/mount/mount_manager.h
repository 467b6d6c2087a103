// Mounts and unmounts the host's shared folders for the logged-in user, and
// remembers every mount point so it can be unmounted (or retried) later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "../davfs/davfs_files.h"
#include "../user_info/user_info.h"
#include "folder_request.h"
#include "mount_system.h"

namespace qmss {

enum class MountState : uint8_t { Unmounted = 0, Mounted = 1, UnmountFailed = 255 };

struct MountPoint {
  std::string path;
  MountState state = MountState::Mounted;
};

using UserMounts = std::unordered_map<std::string, std::vector<MountPoint>>;

// Users are told apart by the pid of their login.
struct UserInfoPidHash {
  size_t operator()(const UserInfo& u) const {
    return std::hash<size_t>()(static_cast<size_t>(static_cast<uint32_t>(u.pid)));
  }
};
struct UserInfoPidEqual {
  bool operator()(const UserInfo& a, const UserInfo& b) const { return a.pid == b.pid; }
};
using UsersTable = std::unordered_map<UserInfo, UserMounts, UserInfoPidHash, UserInfoPidEqual>;

struct MountSettings {
  std::string mount_dir = "$HOME/davfs/";
  bool use_locks = false;
  bool gui_optimize = true;
  std::string endpoint = "127.0.0.1:9843";
  // The program and its first arguments; "-t davfs -o ..." follow.
  std::vector<std::string> mount_command = {"sudo", "mount"};
  unsigned max_candidates = 1000;
  int min_buf_size = 64;
};

using DavfsPreparer = std::function<std::string(const DavfsSettings&)>;

class MountManager {
 public:
  MountManager(MountSettings settings, MountSystem& system,
               DavfsPreparer prepare = prepare_davfs_files);

  // The shared-memory endpoint's data callback: one block, one request.
  void onShmData(const uint8_t* bytes, size_t count);
  void onUserInfo(const UserInfo& info);
  void handleFolderRequest(const FolderRequest& request);
  void retryFailedUnmounts();

  // Copies taken under the service mutex, for inspection.
  UsersTable usersTable() const;
  UserInfo currentUser() const;

  // The command text as logged, with its arguments quoted.
  std::string commandText(const std::string& user, const std::string& conf,
                          const std::string& mount_point) const;

 private:
  void mount(const FolderRequest& request, const std::string& base_name,
             const std::string& mount_base);
  bool prepareMountBase(const std::string& mount_base);
  void unmountPoint(MountPoint& mp, bool retry);
  void removeMountDir(const std::string& path, bool retry);

  MountSettings settings_;
  MountSystem& system_;
  DavfsPreparer prepare_;

  // service_mutex: guards users_ and current_. Held for a whole request
  // (mount command included) and a whole retry round.
  mutable std::mutex mutex_;
  UsersTable users_;
  UserInfo current_;
};

}  // namespace qmss
