// MountManager::mount and its steps: pick and pin the mount point, stage and
// run the mount command, move the mount into place, record it.
#include <dirent.h>
#include <runtime/DirStream.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "davfs/RootDavfsCopy.h"
#include "LogText.h"
#include "SafeFs.h"
#include "mount/MountManager.h"

namespace qmss {

// The mount point made for one request, pinned in its pinned base.
struct MountManager::MountTarget {
    PinnedDir base;
    std::string name;  // its entry in base
    std::string path;  // as built, for logs
    orv::UniqueFd dir;

    // A mount that does not happen leaves no directory behind.
    void giveUp() const { unlinkat(base.fd->get(), name.c_str(), AT_REMOVEDIR); }
};

// What the mount command and the move did.
struct MountManager::MountOutcome {
    std::string staging;
    std::string command;  // as logged
    int rc = 0;
    int move_err = 0;
    uint64_t mnt_id = 0;
};

namespace {

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

}  // namespace

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

std::optional<UserInfo> MountManager::mountingUser(const FolderRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (users_.empty()) {
        ORV_LOG(Error, "%s", kNoUser);
        return std::nullopt;
    }
    ORV_LOG(Info, "Mounting %s\n", printable(request.folder).c_str());
    if (users_.find(current_) == users_.end()) {
        ORV_LOG(Error, "%s", kNoUser);
        return std::nullopt;
    }
    ORV_LOG(Debug, "Mount 0\n");
    ORV_LOG(Debug, "Mount 1\n");
    return current_;
}

std::optional<MountManager::MountTarget> MountManager::pickMountPoint(const UserInfo& user, int homefd,
                                                                      const std::string& mount_base,
                                                                      const std::string& base_name) {
    std::optional<PinnedDir> base = pinMountBase(user, homefd, mount_base);
    if (!base) return std::nullopt;
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
            return std::nullopt;
        }
        // An empty base name names the base itself, which exists.
        if (candidate.empty() || st.kind != PathKind::Missing) continue;
        if (mkdirat(basefd, candidate.c_str(), 0755) != 0) {
            int e = errno;
            if (e == EEXIST) continue;
            ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e,
                    printable(mount_base + "/" + candidate).c_str(), std::strerror(e));
            return std::nullopt;
        }
        name = candidate;
        path = mount_base + "/" + candidate;
    }
    if (name.empty()) {
        ORV_LOG(Error, "Error: No free mount point for %s after %u candidates. Stop mount\n",
                printable(base_name).c_str(), config_.max_candidates);
        return std::nullopt;
    }
    ORV_LOG(Debug, "Full path %s\n", printable(path).c_str());
    ORV_LOG(Debug, "Create dir %s\n", printable(path).c_str());
    // The mount target, pinned now: whatever is done to the name later, the
    // mount goes onto this directory.
    orv::UniqueFd dir(openat(basefd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        int e = errno;
        ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", e, printable(path).c_str(),
                std::strerror(e));
        return std::nullopt;
    }
    give_to_user(dir.get(), user, path);
    race_point("mount:dir-created");
    return MountTarget{std::move(*base), std::move(name), std::move(path), std::move(dir)};
}

bool MountManager::prepareDavfs(const UserInfo& user, int homefd) {
    std::string conf;
    try {
        conf = prepare_(config_, user.homedir, homefd);
    } catch (const std::exception& e) {
        ORV_LOG(Error, "Error: %s\n", e.what());
        conf.clear();
    }
    if (conf.empty()) {
        ORV_LOG(Error, "Error: Failed to create config and secret files. Stop mount\n");
        return false;
    }
    if (!safe_option_value(conf)) {
        ORV_LOG(Error, "Error: Unsafe configuration path %s for the mount options. Stop mount\n",
                printable(conf).c_str());
        return false;
    }
    return true;
}

std::optional<MountManager::MountOutcome> MountManager::runMount(const FolderRequest& request, const UserInfo& user,
                                                                 const MountTarget& target) {
    MountOutcome out;
    out.staging = system_.makeStaging(user.uid, request.folder);
    const std::string& staging = out.staging;
    // mount.davfs reads root's copy, never the files in the home.
    const std::string conf =
        staging.empty()
            ? ""
            : write_root_davfs_copy(config_.davfs_copy_dir, staging.substr(staging.find_last_of('/') + 1), config_);
    if (conf.empty()) {
        ORV_LOG(Error, "Error: Failed to mount %s\n", printable(target.path).c_str());
        target.giveUp();
        if (!staging.empty()) {
            system_.dropStaging(staging);
            releaseShare(staging);
        }
        return std::nullopt;
    }
    out.command = commandText(user.username, conf, staging);
    ORV_LOG(Debug, "Mount cmd %s\n", printable(out.command).c_str());
    std::vector<std::string> argv = config_.mount_command;
    argv.insert(argv.end(), {"-t", "davfs", "-o", "uid=" + user.username + ",conf=" + conf, config_.endpoint, staging});
    out.rc = system_.runCommand(argv, std::chrono::seconds(config_.mount_timeout));
    if (out.rc == 0) {
        race_point("mount:before-move");
        orv::Result<uint64_t> moved = system_.moveMount(staging, target.dir.get(), target.base.fd->get(), target.name);
        out.move_err = moved.errnum();
        if (moved) out.mnt_id = *moved;
    }
    system_.dropStaging(staging);
    return out;
}

void MountManager::recordMount(const FolderRequest& request, const UserInfo& user, const MountTarget& target,
                               const MountOutcome& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The user may have been dropped from the table while the command ran.
    auto user_it = users_.find(user);
    if (user_it == users_.end()) {
        user_it = users_.emplace(user, UserMounts{}).first;
        order_[user.pid] = ++arrivals_;
    }
    std::vector<MountPoint>& points = user_it->second[request.folder];
    if (out.rc != 0 || out.move_err != 0) {
        ORV_LOG(Error, "Error: Failed to mount %s\n", printable(target.path).c_str());
        // The command line is a debug line; the reason must not depend on it.
        if (out.rc == kCommandTimedOut) {
            ORV_LOG(Error, "Error: Mount cmd %s did not end within %u s and was killed\n",
                    printable(out.command).c_str(), config_.mount_timeout);
        } else if (out.rc != 0) {
            ORV_LOG(Error, "Error: Mount cmd %s exited with status %d\n", printable(out.command).c_str(), out.rc);
        } else {
            ORV_LOG(Error, "Error[%d]: while moving the mount onto %s. %s\n", out.move_err,
                    printable(target.path).c_str(), std::strerror(out.move_err));
        }
        target.giveUp();
        releaseShare(out.staging);
        return;
    }
    ORV_LOG(Debug, "Mount created at %s...\n", printable(target.path).c_str());
    points.push_back(
        MountPoint{target.path, MountState::Mounted, target.base.fd, target.name, out.mnt_id, out.staging});
    persistLocked();
}

void MountManager::mount(const FolderRequest& request, const std::string& base_name) {
    // The service mutex is taken only to read the current user and to record
    // the result: the mount command may take long and must not hold it.
    std::optional<UserInfo> user = mountingUser(request);
    if (!user) return;
    std::string mount_base = config_.mount_dir;
    if (size_t at = mount_base.find("$HOME"); at != std::string::npos) {
        mount_base.replace(at, 5, user->homedir);
    }

    if (base_name == "." || base_name == ".." || base_name.find('\0') != std::string::npos) {
        ORV_LOG(Error, "Error: Invalid shared folder name %s. Stop mount\n", printable(request.folder).c_str());
        return;
    }
    if (!safe_option_value(user->username)) {
        ORV_LOG(Error, "Error: Unsafe user name %s for the mount options. Stop mount\n",
                printable(user->username).c_str());
        return;
    }
    auto opened_home = open_dir(user->homedir);
    if (!opened_home) {
        const int err = opened_home.errnum();
        ORV_LOG(Error, "Error[%d]: Failed to create dir %s. Stop mount. %s\n", err, user->homedir.c_str(),
                std::strerror(err));
        return;
    }
    const orv::UniqueFd home = std::move(opened_home).value();
    std::optional<MountTarget> target = pickMountPoint(*user, home.get(), mount_base, base_name);
    if (!target) return;
    if (!prepareDavfs(*user, home.get())) {
        target->giveUp();
        return;
    }
    std::optional<MountOutcome> out = runMount(request, *user, *target);
    if (!out) return;
    recordMount(request, *user, *target, *out);
}

}  // namespace qmss
