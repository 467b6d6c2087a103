#include "mount_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "../safe_fs.h"
#include "../service_log.h"

namespace qmss {

namespace fs = std::filesystem;

namespace {

const char* const kNoUser = "Cannot process mount operation cause has no info about current user\n";

// Characters that would change the meaning of the -o option string.
bool safe_option_value(const std::string& v) {
  return v.find_first_of(",\"\n") == std::string::npos;
}

}  // namespace

MountManager::MountManager(MountSettings settings, MountSystem& system, DavfsPreparer prepare)
    : settings_(std::move(settings)), system_(system), prepare_(std::move(prepare)) {}

UsersTable MountManager::usersTable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return users_;
}

UserInfo MountManager::currentUser() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

void MountManager::onShmData(const uint8_t* bytes, size_t count) {
  service_log(kDebug, "shm recv %ld bytes\n", static_cast<long>(count));
  std::optional<FolderRequest> request = parse_folder_request(bytes, count);
  if (!request) return;
  service_log(kDebug, "Got msg shfolder: %s\n", printable(request->folder).c_str());
  service_log(kDebug, "Got msg is mount: %d\n", request->op == 1 ? 1 : 0);
  handleFolderRequest(*request);
}

void MountManager::onUserInfo(const UserInfo& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  service_log(kDebug, "recv user info: pid %d, username %s, homedir %s\n", info.pid,
              info.username.c_str(), info.homedir.c_str());
  users_.emplace(info, UserMounts{});
  current_ = info;
  service_log(kDebug, "last user info updated\n");
}

std::string MountManager::commandText(const std::string& user, const std::string& conf,
                                      const std::string& mount_point) const {
  std::string text;
  for (const auto& part : settings_.mount_command) text += part + " ";
  text += "-t davfs -o uid=\"" + user + "\",conf=\"" + conf + "\" " + settings_.endpoint + " \"" +
          mount_point + "\"";
  return text;
}

void MountManager::handleFolderRequest(const FolderRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (users_.empty()) {
    service_log(kError, "%s", kNoUser);
    return;
  }
  size_t slash = request.folder.find_last_of('/');
  std::string base_name =
      slash == std::string::npos ? request.folder : request.folder.substr(slash + 1);
  std::string mount_base = settings_.mount_dir;
  if (size_t at = mount_base.find("$HOME"); at != std::string::npos) {
    mount_base.replace(at, 5, current_.homedir);
  }

  if (request.op == static_cast<uint8_t>(FolderOp::Mount)) {
    mount(request, base_name, mount_base);
    return;
  }
  if (request.op != static_cast<uint8_t>(FolderOp::Unmount) &&
      request.op != static_cast<uint8_t>(FolderOp::UnmountAll)) {
    return;
  }
  service_log(kDebug, "Unmount %s\n", printable(request.folder).c_str());
  bool all = request.op == static_cast<uint8_t>(FolderOp::UnmountAll);
  for (auto& [user, mounts] : users_) {
    (void)user;
    for (auto& [folder, points] : mounts) {
      if (!all && folder != request.folder) continue;
      for (MountPoint& mp : points) unmountPoint(mp, false);
      std::erase_if(points, [](const MountPoint& mp) { return mp.state == MountState::Unmounted; });
    }
  }
}

bool MountManager::prepareMountBase(const std::string& mount_base) {
  const std::string& home = current_.homedir;
  // Everything below the home is made by root in a tree the user controls:
  // walk it one component at a time and accept only real directories.
  bool inside = mount_base.compare(0, home.size(), home) == 0 &&
                (mount_base.size() == home.size() || mount_base[home.size()] == '/' ||
                 (!home.empty() && home.back() == '/'));
  if (!inside) {
    service_log(kError, "Error: Mount base %s is not inside the home directory %s. Stop mount\n",
                mount_base.c_str(), home.c_str());
    return false;
  }
  std::string current = home;
  std::string rest = mount_base.substr(home.size());
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t next = rest.find('/', pos);
    if (next == std::string::npos) next = rest.size();
    std::string comp = rest.substr(pos, next - pos);
    pos = next + 1;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      service_log(kError, "Error: Mount base %s is not inside the home directory %s. Stop mount\n",
                  mount_base.c_str(), home.c_str());
      return false;
    }
    current += "/" + comp;
    PathStatus st = path_status(current);
    if (st.kind == PathKind::Directory) continue;
    if (st.kind == PathKind::Missing) {
      if (mkdir(current.c_str(), 0755) != 0) {
        int e = errno;
        service_log(kError, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e,
                    current.c_str(), std::strerror(e));
        return false;
      }
      // Directories made for mounting belong to the user, not to root.
      if (lchown(current.c_str(), current_.uid, current_.gid) != 0) {
        int e = errno;
        service_log(kWarning, "Error[%d]: while changing owner of %s. %s\n", e, current.c_str(),
                    std::strerror(e));
      }
      continue;
    }
    if (st.kind == PathKind::Error) {
      service_log(kError, "Error[%d] check dir to mount %s: %s\n", st.error, current.c_str(),
                  std::strerror(st.error));
    } else {
      service_log(kError, "Error: Mount base %s is not a directory. Stop mount\n", current.c_str());
    }
    return false;
  }
  return true;
}

void MountManager::mount(const FolderRequest& request, const std::string& base_name,
                         const std::string& mount_base) {
  service_log(kInfo, "Mounting %s\n", printable(request.folder).c_str());
  auto user_it = users_.find(current_);
  if (user_it == users_.end()) {
    service_log(kError, "%s", kNoUser);
    return;
  }
  service_log(kDebug, "Mount 0\n");
  UserMounts& mounts = user_it->second;
  service_log(kDebug, "Mount 1\n");

  if (base_name == "." || base_name == "..") {
    service_log(kError, "Error: Invalid shared folder name %s. Stop mount\n",
                printable(request.folder).c_str());
    return;
  }
  if (!safe_option_value(current_.username)) {
    service_log(kError, "Error: Unsafe user name %s for the mount options. Stop mount\n",
                printable(current_.username).c_str());
    return;
  }
  if (!prepareMountBase(mount_base)) return;

  // A free name: base name, then base name + "_N".
  std::string path;
  for (unsigned n = 0; n < settings_.max_candidates; ++n) {
    std::string candidate = mount_base + "/" + base_name;
    if (n > 0) candidate += "_" + std::to_string(n);
    PathStatus st = path_status(candidate);
    if (st.kind == PathKind::Missing) {
      path = candidate;
      break;
    }
    if (st.kind == PathKind::Error) {
      service_log(kError, "Error[%d] check dir to mount %s: %s\n", st.error,
                  printable(base_name).c_str(), std::strerror(st.error));
      return;
    }
  }
  if (path.empty()) {
    service_log(kError, "Error: No free mount point for %s after %u candidates. Stop mount\n",
                printable(base_name).c_str(), settings_.max_candidates);
    return;
  }
  service_log(kDebug, "Full path %s\n", printable(path).c_str());

  if (mkdir(path.c_str(), 0755) != 0) {
    int e = errno;
    service_log(kError, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e,
                printable(path).c_str(), std::strerror(e));
    return;
  }
  service_log(kDebug, "Create dir %s\n", printable(path).c_str());
  if (lchown(path.c_str(), current_.uid, current_.gid) != 0) {
    int e = errno;
    service_log(kWarning, "Error[%d]: while changing owner of %s. %s\n", e,
                printable(path).c_str(), std::strerror(e));
  }
  auto give_up = [&] {
    std::error_code ec;
    fs::remove(path, ec);
  };
  if (!resolves_inside(path, current_.homedir)) {
    service_log(kError, "Error: Mount point %s is not inside the home directory %s. Stop mount\n",
                printable(path).c_str(), current_.homedir.c_str());
    give_up();
    return;
  }

  DavfsSettings davfs;
  davfs.homedir = current_.homedir;
  davfs.use_locks = settings_.use_locks;
  davfs.gui_optimize = settings_.gui_optimize;
  davfs.endpoint = settings_.endpoint;
  davfs.min_buf_size = settings_.min_buf_size;
  davfs.max_candidates = settings_.max_candidates;
  std::string conf;
  try {
    conf = prepare_(davfs);
  } catch (const std::exception& e) {
    service_log(kError, "Error: %s\n", e.what());
    conf.clear();
  }
  if (conf.empty()) {
    service_log(kError, "Error: Failed to create config and secret files. Stop mount\n");
    give_up();
    return;
  }
  if (!safe_option_value(conf)) {
    service_log(kError, "Error: Unsafe configuration path %s for the mount options. Stop mount\n",
                printable(conf).c_str());
    give_up();
    return;
  }

  service_log(kDebug, "Mount cmd %s\n",
              printable(commandText(current_.username, conf, path)).c_str());
  std::vector<std::string> argv = settings_.mount_command;
  argv.insert(argv.end(), {"-t", "davfs", "-o", "uid=" + current_.username + ",conf=" + conf,
                           settings_.endpoint, path});
  int rc = system_.runCommand(argv);
  std::vector<MountPoint>& points = mounts[request.folder];
  if (rc != 0) {
    service_log(kError, "Error: Failed to mount %s\n", printable(path).c_str());
    // The command line is a debug line; the reason must not depend on it.
    service_log(kError, "Error: Mount cmd %s exited with status %d\n",
                printable(commandText(current_.username, conf, path)).c_str(), rc);
    give_up();
    return;
  }
  service_log(kDebug, "Mount created at %s...\n", printable(path).c_str());
  points.push_back(MountPoint{path, MountState::Mounted});
}

void MountManager::removeMountDir(const std::string& path, bool retry) {
  std::error_code ec;
  fs::remove(path, ec);
  if (ec) {
    service_log(kWarning,
                retry ? "Error[%d] check dir to mount %s: %s\n" : "Error[%d]: while unmount %s. %s\n",
                ec.value(), printable(path).c_str(), ec.message().c_str());
  }
}

void MountManager::unmountPoint(MountPoint& mp, bool retry) {
  int err = system_.unmount(mp.path);
  if (err == 0) {
    service_log(kDebug, "Umount result %d\n", 0);
    removeMountDir(mp.path, retry);
    mp.state = MountState::Unmounted;
    return;
  }
  service_log(kWarning, "Error: Failed to umount %s. Reason: %s [%d]\n", printable(mp.path).c_str(),
              std::strerror(err), err);
  // Not a mount point any more (unmounted by hand, or the davfs2 daemon
  // died): forcing cannot help, and retrying it for ever would only repeat
  // the error. Treat it as unmounted.
  if (err == EINVAL || err == ENOENT) {
    service_log(kWarning, "Mount point %s is not mounted any more\n", printable(mp.path).c_str());
    removeMountDir(mp.path, retry);
    mp.state = MountState::Unmounted;
    return;
  }
  int ferr = system_.forceUnmount(mp.path);
  if (ferr == 0) {
    service_log(kDebug, "Umount force result %d\n", 0);
    removeMountDir(mp.path, retry);
    mp.state = MountState::Unmounted;
    return;
  }
  mp.state = MountState::UnmountFailed;
  service_log(kError, "Error: Failed to umount force %s. Reason: %s [%d]\n",
              printable(mp.path).c_str(), std::strerror(ferr), ferr);
}

void MountManager::retryFailedUnmounts() {
  service_log(kDebug, "Try umount\n");
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [user, mounts] : users_) {
    (void)user;
    for (auto& [folder, points] : mounts) {
      (void)folder;
      for (MountPoint& mp : points) {
        if (mp.state == MountState::UnmountFailed) unmountPoint(mp, true);
      }
      std::erase_if(points, [](const MountPoint& mp) { return mp.state == MountState::Unmounted; });
    }
  }
}

}  // namespace qmss
