#include "mount_manager.h"

#include <dirent.h>
#include <runtime/DirStream.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>

#include "../davfs/davfs_files.h"
#include "../davfs/root_davfs_copy.h"
#include "../safe_fs.h"
#include "../log_text.h"

namespace qmss {

namespace {

const char* const kNoUser = "Cannot process mount operation cause has no info about current user\n";

// Characters that would change the meaning of the -o option string.
bool safe_option_value(const std::string& v) {
    return v.find_first_of(",\"\n") == std::string::npos;
}

bool dir_is_empty(int fd) {
    orv::UniqueFd copy(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!copy) return false;
    orv::DirStream d = orv::dirStreamOf(std::move(copy));
    if (!d) return false;
    bool empty = true;
    while (dirent* e = readdir(d.get())) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    return empty;
}

// Directories made for mounting belong to the user. Only the empty,
// root-owned directory made here is handed over: if the user put one of
// root's directories (say .davfs2) in its place, it stays root's.
void give_to_user(int fd, const UserInfo& user, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != 0 || !dir_is_empty(fd)) return;
    if (fchown(fd, user.uid, user.gid) != 0) {
        int e = errno;
        ORV_LOG(Warning, "Error[%d]: while changing owner of %s. %s\n", e, printable(path).c_str(), std::strerror(e));
    }
}

std::vector<std::string> split_components(const std::string& rel) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < rel.size()) {
        size_t next = rel.find('/', pos);
        if (next == std::string::npos) next = rel.size();
        if (next > pos) out.push_back(rel.substr(pos, next - pos));
        pos = next + 1;
    }
    return out;
}

bool has_mounts(const UserMounts& mounts) {
    return std::any_of(mounts.begin(), mounts.end(), [](const auto& f) { return !f.second.empty(); });
}

}  // namespace

bool pid_alive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

MountManager::MountManager(const ServiceConfig& config, MountSystem& system, DavfsPreparer prepare, PidAlive alive)
    : config_(config), system_(system), prepare_(std::move(prepare)), alive_(std::move(alive)) {
    if (!prepare_) {
        prepare_ = [](const ServiceConfig& c, const std::string& home, int homefd) {
            return prepare_davfs_files(c, home, homefd);
        };
    }
}

UsersTable MountManager::usersTable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return users_;
}

UserInfo MountManager::currentUser() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

std::optional<FolderRequest> MountManager::decode(std::span<const uint8_t> block) {
    ORV_LOG(Debug, "shm recv %ld bytes\n", static_cast<long>(block.size()));
    return parse_folder_request(block);
}

void MountManager::carryOut(const FolderRequest& request) {
    ORV_LOG(Debug, "Got msg shfolder: %s\n", printable(request.folder).c_str());
    ORV_LOG(Debug, "Got msg is mount: %d\n", request.op == 1 ? 1 : 0);
    handleFolderRequest(request);
}

void MountManager::onShmData(std::span<const uint8_t> block) {
    if (std::optional<FolderRequest> request = decode(block)) carryOut(*request);
}

void MountManager::dropIdleUsers() {
    // Called when a new user is about to become current. An entry with
    // nothing mounted is only a memory of a login: dropped once its process
    // is gone, and the oldest ones when the table is full. Entries with mounts
    // stay, so unmount requests still reach every mount.
    auto idle = [](const UsersTable::value_type& e) { return !has_mounts(e.second); };
    for (auto it = users_.begin(); it != users_.end();) {
        if (idle(*it) && !alive_(it->first.pid)) {
            order_.erase(it->first.pid);
            it = users_.erase(it);
        } else {
            ++it;
        }
    }
    while (users_.size() >= config_.max_users) {
        auto oldest = users_.end();
        for (auto it = users_.begin(); it != users_.end(); ++it) {
            if (idle(*it) && (oldest == users_.end() || order_[it->first.pid] < order_[oldest->first.pid])) {
                oldest = it;
            }
        }
        if (oldest == users_.end()) return;
        order_.erase(oldest->first.pid);
        users_.erase(oldest);
    }
}

void MountManager::onUserInfo(const UserInfo& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    ORV_LOG(Debug, "recv user info: pid %d, username %s, homedir %s\n", info.pid, info.username.c_str(),
            info.homedir.c_str());
    if (users_.find(info) == users_.end()) {
        dropIdleUsers();
        if (users_.size() >= config_.max_users) {
            ORV_LOG(Error, "Error: users table full (%zu users with mounts), user info for pid %d dropped\n",
                    users_.size(), info.pid);
            return;
        }
        users_.emplace(info, UserMounts{});
        order_[info.pid] = ++arrivals_;
    }
    current_ = info;
    ORV_LOG(Debug, "last user info updated\n");
}

std::string MountManager::commandText(const std::string& user, const std::string& conf,
                                      const std::string& mount_point) const {
    std::string text;
    for (const auto& part : config_.mount_command)
        text += part + " ";
    text += "-t davfs -o uid=\"" + user + "\",conf=\"" + conf + "\" " + config_.endpoint + " \"" + mount_point + "\"";
    return text;
}

void MountManager::handleFolderRequest(const FolderRequest& request) {
    size_t slash = request.folder.find_last_of('/');
    std::string base_name = slash == std::string::npos ? request.folder : request.folder.substr(slash + 1);
    if (request.op == static_cast<uint8_t>(FolderOp::Mount)) {
        mount(request, base_name);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (users_.empty()) {
        ORV_LOG(Error, "%s", kNoUser);
        return;
    }
    if (request.op != static_cast<uint8_t>(FolderOp::Unmount) &&
        request.op != static_cast<uint8_t>(FolderOp::UnmountAll)) {
        return;
    }
    ORV_LOG(Debug, "Unmount %s\n", printable(request.folder).c_str());
    bool all = request.op == static_cast<uint8_t>(FolderOp::UnmountAll);
    for (auto& [user, mounts] : users_) {
        (void)user;
        for (auto& [folder, points] : mounts) {
            if (!all && folder != request.folder) continue;
            for (MountPoint& mp : points)
                unmountPoint(mp, false);
            std::erase_if(points, [](const MountPoint& mp) { return mp.state == MountState::Unmounted; });
        }
    }
    persistLocked();
}

std::optional<MountManager::PinnedDir> MountManager::pinMountBase(const UserInfo& user, int homefd,
                                                                  const std::string& mount_base) {
    std::optional<std::string> rel = relative_beneath(mount_base, user.homedir);
    if (!rel) {
        ORV_LOG(Error, "Error: Mount base %s is not inside the home directory %s. Stop mount\n", mount_base.c_str(),
                user.homedir.c_str());
        return std::nullopt;
    }
    // One component at a time from the pinned home, each opened without
    // following: the base reached is a real directory of the user's tree.
    PinnedDir dir{std::make_shared<const orv::UniqueFd>(fcntl(homefd, F_DUPFD_CLOEXEC, 0)), user.homedir};
    for (const std::string& comp : split_components(*rel)) {
        int at = dir.fd->get();
        dir.path += "/" + comp;
        EntryStatus st = entry_status(at, comp);
        bool created = false;
        if (st.kind == PathKind::Missing) {
            if (mkdirat(at, comp.c_str(), 0755) != 0 && errno != EEXIST) {
                int e = errno;
                ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e, dir.path.c_str(),
                        std::strerror(e));
                return std::nullopt;
            }
            created = true;
        } else if (st.kind == PathKind::Error) {
            ORV_LOG(Error, "Error[%d] check dir to mount %s: %s\n", st.error, dir.path.c_str(),
                    std::strerror(st.error));
            return std::nullopt;
        } else if (st.kind != PathKind::Directory) {
            ORV_LOG(Error, "Error: Mount base %s is not a directory. Stop mount\n", dir.path.c_str());
            return std::nullopt;
        }
        orv::UniqueFd next(openat(at, comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            ORV_LOG(Error, "Error: Mount base %s is not a directory. Stop mount\n", dir.path.c_str());
            return std::nullopt;
        }
        if (created) give_to_user(next.get(), user, dir.path);
        dir.fd = std::make_shared<const orv::UniqueFd>(std::move(next));
    }
    return dir;
}

void MountManager::mount(const FolderRequest& request, const std::string& base_name) {
    UserInfo user;
    std::string mount_base;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (users_.empty()) {
            ORV_LOG(Error, "%s", kNoUser);
            return;
        }
        ORV_LOG(Info, "Mounting %s\n", printable(request.folder).c_str());
        if (users_.find(current_) == users_.end()) {
            ORV_LOG(Error, "%s", kNoUser);
            return;
        }
        ORV_LOG(Debug, "Mount 0\n");
        ORV_LOG(Debug, "Mount 1\n");
        user = current_;
    }
    mount_base = config_.mount_dir;
    if (size_t at = mount_base.find("$HOME"); at != std::string::npos) {
        mount_base.replace(at, 5, user.homedir);
    }

    if (base_name == "." || base_name == ".." || base_name.find('\0') != std::string::npos) {
        ORV_LOG(Error, "Error: Invalid shared folder name %s. Stop mount\n", printable(request.folder).c_str());
        return;
    }
    if (!safe_option_value(user.username)) {
        ORV_LOG(Error, "Error: Unsafe user name %s for the mount options. Stop mount\n",
                printable(user.username).c_str());
        return;
    }
    auto opened_home = open_dir(user.homedir);
    if (!opened_home) {
        const int err = opened_home.errnum();
        ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", err, user.homedir.c_str(),
                std::strerror(err));
        return;
    }
    const orv::UniqueFd home = std::move(opened_home).value();
    std::optional<PinnedDir> base = pinMountBase(user, home.get(), mount_base);
    if (!base) return;
    const int basefd = base->fd->get();

    // A free name: base name, then base name + "_N". Made with mkdirat in the
    // pinned base, so a name that appears meanwhile is simply the next one.
    std::string name, path;
    for (unsigned n = 0; n < config_.max_candidates && name.empty(); ++n) {
        std::string candidate = n == 0 ? base_name : base_name + "_" + std::to_string(n);
        EntryStatus st = entry_status(basefd, candidate);
        if (st.kind == PathKind::Error) {
            ORV_LOG(Error, "Error[%d] check dir to mount %s: %s\n", st.error, printable(base_name).c_str(),
                    std::strerror(st.error));
            return;
        }
        // An empty base name names the base itself, which exists.
        if (candidate.empty() || st.kind != PathKind::Missing) continue;
        if (mkdirat(basefd, candidate.c_str(), 0755) != 0) {
            int e = errno;
            if (e == EEXIST) continue;
            ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e,
                    printable(mount_base + "/" + candidate).c_str(), std::strerror(e));
            return;
        }
        name = candidate;
        path = mount_base + "/" + candidate;
    }
    if (name.empty()) {
        ORV_LOG(Error, "Error: No free mount point for %s after %u candidates. Stop mount\n",
                printable(base_name).c_str(), config_.max_candidates);
        return;
    }
    ORV_LOG(Debug, "Full path %s\n", printable(path).c_str());
    ORV_LOG(Debug, "Create dir %s\n", printable(path).c_str());
    auto give_up = [&] { unlinkat(basefd, name.c_str(), AT_REMOVEDIR); };
    // The mount target, pinned now: whatever is done to the name later, the
    // mount goes onto this directory.
    orv::UniqueFd target(openat(basefd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target) {
        int e = errno;
        ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e, printable(path).c_str(),
                std::strerror(e));
        return;
    }
    give_to_user(target.get(), user, path);
    race_point("mount:dir-created");

    std::string conf;
    try {
        conf = prepare_(config_, user.homedir, home.get());
    } catch (const std::exception& e) {
        ORV_LOG(Error, "Error: %s\n", e.what());
        conf.clear();
    }
    if (conf.empty()) {
        ORV_LOG(Error, "Error: Failed to create config and secret files. Stop mount\n");
        give_up();
        return;
    }
    if (!safe_option_value(conf)) {
        ORV_LOG(Error, "Error: Unsafe configuration path %s for the mount options. Stop mount\n",
                printable(conf).c_str());
        give_up();
        return;
    }

    std::string staging = system_.makeStaging(user.uid, request.folder);
    // mount.davfs reads root's copy, never the files in the home.
    std::string root_conf =
        staging.empty()
            ? ""
            : write_root_davfs_copy(config_.davfs_copy_dir, staging.substr(staging.find_last_of('/') + 1), config_);
    if (root_conf.empty()) {
        ORV_LOG(Error, "Error: Failed to mount %s\n", printable(path).c_str());
        give_up();
        if (!staging.empty()) {
            system_.dropStaging(staging);
            releaseShare(staging);
        }
        return;
    }
    conf = root_conf;
    const std::string command = commandText(user.username, conf, staging);
    ORV_LOG(Debug, "Mount cmd %s\n", printable(command).c_str());
    std::vector<std::string> argv = config_.mount_command;
    argv.insert(argv.end(), {"-t", "davfs", "-o", "uid=" + user.username + ",conf=" + conf, config_.endpoint, staging});
    int rc = system_.runCommand(argv, std::chrono::seconds(config_.mount_timeout));
    int move_err = 0;
    uint64_t mnt_id = 0;
    if (rc == 0) {
        race_point("mount:before-move");
        orv::Result<uint64_t> moved = system_.moveMount(staging, target.get(), basefd, name);
        move_err = moved.errnum();
        if (moved) mnt_id = *moved;
    }
    system_.dropStaging(staging);

    std::lock_guard<std::mutex> lock(mutex_);
    // The user may have been dropped from the table while the command ran.
    auto user_it = users_.find(user);
    if (user_it == users_.end()) {
        user_it = users_.emplace(user, UserMounts{}).first;
        order_[user.pid] = ++arrivals_;
    }
    std::vector<MountPoint>& points = user_it->second[request.folder];
    if (rc != 0 || move_err != 0) {
        ORV_LOG(Error, "Error: Failed to mount %s\n", printable(path).c_str());
        // The command line is a debug line; the reason must not depend on it.
        if (rc == kCommandTimedOut) {
            ORV_LOG(Error, "Error: Mount cmd %s did not end within %u s and was killed\n", printable(command).c_str(),
                    config_.mount_timeout);
        } else if (rc != 0) {
            ORV_LOG(Error, "Error: Mount cmd %s exited with status %d\n", printable(command).c_str(), rc);
        } else {
            ORV_LOG(Error, "Error[%d]: while moving the mount onto %s. %s\n", move_err, printable(path).c_str(),
                    std::strerror(move_err));
        }
        give_up();
        releaseShare(staging);
        return;
    }
    ORV_LOG(Debug, "Mount created at %s...\n", printable(path).c_str());
    points.push_back(MountPoint{path, MountState::Mounted, base->fd, name, mnt_id, staging});
    persistLocked();
}

}  // namespace qmss
