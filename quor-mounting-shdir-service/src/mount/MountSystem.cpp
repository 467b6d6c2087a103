#include "mount/MountSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/mount.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <runtime/Deadline.h>
#include <runtime/DirStream.h>
#include <runtime/UniqueFd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "LogText.h"
#include "mount/DavfsDaemon.h"
#include "mount/StagingName.h"

extern char** environ;

namespace qmss {

namespace {

// The parent pid of every process, read from /proc/<pid>/stat.
std::map<int, int> parent_map() {
    std::map<int, int> out;
    orv::DirStream d = orv::openDirStream("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d.get())) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The command name may hold spaces and parentheses: fields follow the last ')'.
        size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        int ppid = 0;
        if (fields >> state >> ppid) out[static_cast<int>(pid)] = ppid;
    }
    return out;
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether the child ended within the deadline (it is not reaped here).
bool wait_until_exit(pid_t pid, const orv::Deadline& deadline) {
    orv::UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd) {
        for (;;) {
            pollfd p{pidfd.get(), POLLIN, 0};
            int r = poll(&p, 1, deadline.remainingMs());
            if (r > 0) return true;
            if (r == 0) return false;
            if (errno != EINTR) break;
        }
    }
    // Without pidfd: look every few milliseconds.
    while (!deadline.expired()) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
            return true;
        }
        usleep(5000);
    }
    return false;
}

}  // namespace

void kill_process_tree(int pid) {
    std::set<int> killed;
    for (int round = 0; round < 10; ++round) {
        std::map<int, int> parents = parent_map();
        std::set<int> tree{pid};
        bool grew = true;
        while (grew) {
            grew = false;
            for (const auto& [child, parent] : parents) {
                if (tree.count(parent) && tree.insert(child).second) grew = true;
            }
        }
        bool fresh = false;
        for (int p : tree) {
            if (killed.insert(p).second) fresh = true;
            kill(p, SIGKILL);
        }
        if (!fresh) break;
    }
}

uint64_t mount_id_of(int fd) {
    struct statx stx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_MNT_ID, &stx) != 0) return 0;
    if (!(stx.stx_mask & STATX_MNT_ID)) return 0;
    return stx.stx_mnt_id;
}

RealMountSystem::RealMountSystem(std::string staging_dir) : staging_dir_(std::move(staging_dir)) {}

void RealMountSystem::prepareStaging() {
    // Each level root-owned and closed to others, so the paths handed to the
    // mount command are root's alone.
    std::string path;
    size_t pos = 1;
    while (pos <= staging_dir_.size()) {
        size_t next = staging_dir_.find('/', pos);
        if (next == std::string::npos) next = staging_dir_.size();
        path = staging_dir_.substr(0, next);
        pos = next + 1;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            ORV_LOG(Error, "Error[%d]: while creating %s. %s\n", errno, path.c_str(), std::strerror(errno));
            return;
        }
    }
    struct stat st {};
    if (lstat(staging_dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) {
        ORV_LOG(Error, "Error: Staging directory %s is not a root-owned directory\n", staging_dir_.c_str());
        return;
    }
    chmod(staging_dir_.c_str(), 0700);
    orv::UniqueFd dir(open(staging_dir_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string parent = staging_dir_.substr(0, staging_dir_.find_last_of('/'));
    orv::UniqueFd up(open(parent.empty() ? "/" : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    bool is_mount = dir && up && mount_id_of(dir.get()) != mount_id_of(up.get());
    if (!is_mount && mount(staging_dir_.c_str(), staging_dir_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        ORV_LOG(Error, "Error[%d]: while binding %s. %s\n", errno, staging_dir_.c_str(), std::strerror(errno));
        return;
    }
    if (mount(nullptr, staging_dir_.c_str(), nullptr, MS_PRIVATE, nullptr) != 0) {
        ORV_LOG(Error, "Error[%d]: while making %s private. %s\n", errno, staging_dir_.c_str(), std::strerror(errno));
    }
}

int RealMountSystem::runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) {
    return run_command(argv, deadline, [this](pid_t pid) {
        std::lock_guard<std::mutex> lock(command_mutex_);
        command_pid_ = pid;
    });
}

void RealMountSystem::cancelCommand() {
    std::lock_guard<std::mutex> lock(command_mutex_);
    if (command_pid_ <= 0) return;
    ORV_LOG(Warning, "Mount command %d cancelled\n", static_cast<int>(command_pid_));
    kill_process_tree(command_pid_);
}

int run_command(const std::vector<std::string>& argv, std::chrono::milliseconds deadline_after,
                const std::function<void(pid_t)>& running) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // davfs2 asks for credentials on the terminal when it has none: with no
    // terminal it fails instead of waiting.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The service blocks its stop signals in every thread; the command must
    // not inherit that, nor share the service's process group.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    orv::Deadline deadline(deadline_after);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return -1;
    if (running) running(pid);
    bool ended = wait_until_exit(pid, deadline);
    if (!ended) kill_process_tree(pid);
    if (running) running(0);
    int status = wait_exit(pid);
    return ended ? status : kCommandTimedOut;
}

std::string RealMountSystem::makeStaging(uid_t uid, const std::string& folder) {
    // The name is (user, share) plus a slot for a share mounted twice at
    // once: davfs2 names its cache after it, so whatever a share could not
    // upload goes back to the same share of the same user and to no other. A
    // name whose daemon still runs (its pid file is there) is skipped, or
    // davfs2 would refuse it.
    for (unsigned n = 0; n < 64; ++n) {
        std::string dir = staging_dir_ + "/" + staging_name(uid, folder, n);
        std::lock_guard<std::mutex> lock(mutex_);
        if (in_use_.count(dir)) continue;
        struct stat st {};
        if (lstat((std::string(kDavfsPidDir) + "/" + davfs_pid_file_name(dir)).c_str(), &st) == 0) continue;
        if (mkdir(dir.c_str(), 0700) == 0) {
            in_use_.insert(dir);
            return dir;
        }
        if (errno != EEXIST) {
            ORV_LOG(Error, "Error[%d]: while creating %s. %s\n", errno, dir.c_str(), std::strerror(errno));
            return "";
        }
    }
    ORV_LOG(Error, "Error: No free staging directory in %s\n", staging_dir_.c_str());
    return "";
}

void RealMountSystem::reserveStaging(const std::string& staging) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_use_.insert(staging);
}

orv::UniqueFd RealMountSystem::openDaemon(const std::string& staging) {
    return open_davfs_daemon(kDavfsPidDir, staging);
}

std::vector<std::string> RealMountSystem::cachedFiles(const std::string& staging) {
    return davfs_cache_files(kDavfsCacheDir, staging);
}

void RealMountSystem::dropStaging(const std::string& staging) {
    if (staging.empty()) return;
    // A killed mount command may have left its mount behind.
    while (umount2(staging.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0) {}
    if (rmdir(staging.c_str()) != 0 && errno != ENOENT) {
        ORV_LOG(Warning, "Error[%d]: while removing %s. %s\n", errno, staging.c_str(), std::strerror(errno));
    }
}

void RealMountSystem::releaseStaging(const std::string& staging) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_use_.erase(staging);
}

orv::Result<uint64_t> RealMountSystem::moveMount(const std::string& staging, int targetfd, int parentfd,
                                                 const std::string& name) {
    // Without OPEN_TREE_CLONE this is the mount that sits on the staging
    // directory itself, not a copy of it.
    orv::UniqueFd tree(
        static_cast<int>(syscall(SYS_open_tree, AT_FDCWD, staging.c_str(), OPEN_TREE_CLOEXEC | AT_SYMLINK_NOFOLLOW)));
    if (!tree) return orv::Error::lastErrno("open_tree");
    orv::UniqueFd parent(open(staging_dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    uint64_t id = mount_id_of(tree.get());
    // Nothing was mounted there: the mount command succeeded without mounting.
    if (id == 0 || !parent || id == mount_id_of(parent.get())) {
        return orv::Error::fromErrno(ENOENT, "open_tree");
    }
    if (syscall(SYS_move_mount, tree.get(), "", targetfd, "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
        return orv::Error::lastErrno("move_mount");
    }
    // Once mounted on, the directory can no longer be renamed; before, it
    // could. Check it is still where the unmount will look for it.
    orv::UniqueFd there(openat(parentfd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    uint64_t there_id = there ? mount_id_of(there.get()) : 0;
    there.reset();
    if (there_id != id) {
        umount2(("/proc/self/fd/" + std::to_string(tree.get())).c_str(), MNT_DETACH);
        return orv::Error::fromErrno(EXDEV, "check");
    }
    return id;
}

orv::Result<void> RealMountSystem::detach(int parentfd, const std::string& name, uint64_t mnt_id) {
    orv::UniqueFd at(openat(parentfd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    uint64_t id = at ? mount_id_of(at.get()) : 0;
    at.reset();
    if (id != mnt_id) return orv::Error::fromErrno(EINVAL, "check");
    std::string path = "/proc/self/fd/" + std::to_string(parentfd) + "/" + name;
    if (umount2(path.c_str(), UMOUNT_NOFOLLOW | MNT_DETACH) != 0) return orv::Error::lastErrno("umount");
    return {};
}

orv::Result<void> RealMountSystem::unmount(int parentfd, const std::string& name, uint64_t mnt_id, bool force) {
    orv::UniqueFd at(openat(parentfd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // The descriptor is closed again before the unmount: it would keep the
    // mount busy.
    uint64_t id = at ? mount_id_of(at.get()) : 0;
    at.reset();
    if (id != mnt_id) return orv::Error::fromErrno(EINVAL, "check");
    // The pinned directory is reached through its descriptor's magic link;
    // only the last component is looked up, and never followed. A user cannot
    // rename or remove a mount point, so this is the mount that was checked.
    std::string path = "/proc/self/fd/" + std::to_string(parentfd) + "/" + name;
    if (umount2(path.c_str(), UMOUNT_NOFOLLOW | (force ? MNT_FORCE : 0)) != 0) {
        // The mount was just seen there: a lookup failure can only come from
        // /proc itself, and must not make the caller forget a live mount.
        return orv::Error::fromErrno((errno == ENOENT || errno == EINVAL) ? EIO : errno, "umount");
    }
    return {};
}

}  // namespace qmss
