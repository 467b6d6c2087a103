// The system operations the mount manager drives, behind one interface so
// tests can record them instead of mounting. Every operation on a user's
// tree takes a pinned directory descriptor, never a path string.
#pragma once

#include <runtime/Result.h>
#include <runtime/UniqueFd.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qmss {

/// runCommand's result when the deadline passed and the command was killed.
inline constexpr int kCommandTimedOut = -2;

class MountSystem {
public:
    virtual ~MountSystem() = default;

    /// Runs argv[0] (looked up on PATH) with the arguments, stdin from
    /// /dev/null, signals unblocked, and waits at most `deadline`. Returns its
    /// exit status; -1 when it could not be started or did not exit normally;
    /// kCommandTimedOut when it was still running at the deadline, in which
    /// case it and every process it started have been killed.
    virtual int runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) = 0;

    /// Kills the mount command in progress, if any, with its whole process
    /// tree: its runCommand then returns a failure. Any thread.
    virtual void cancelCommand() {}

    /// A fresh, empty, root-only directory for the mount command to mount on,
    /// named after (uid, folder) (see staging_name); "" when none could be
    /// made (logged).
    virtual std::string makeStaging(uid_t uid, const std::string& folder) = 0;
    /// A staging name an adopted share still uses: not handed out again.
    virtual void reserveStaging(const std::string& staging) { (void)staging; }
    /// Detaches whatever is still mounted on a staging directory and removes
    /// it. The name stays reserved until releaseStaging.
    virtual void dropStaging(const std::string& staging) = 0;
    /// The mount staged under this name is gone (or never came): the name may
    /// be taken again.
    virtual void releaseStaging(const std::string& staging) { (void)staging; }

    /// Moves the mount sitting on `staging` onto the directory `targetfd`
    /// (the descriptor of the directory that was checked), which must still
    /// be entry `name` of the pinned directory `parentfd`: if the user renamed
    /// it before the move, the mount is detached again and EXDEV returned, so
    /// every recorded mount can be found (and unmounted) as parent/name. The
    /// mount's id, or the errno with the failing step ("open_tree",
    /// "move_mount", "check").
    virtual orv::Result<uint64_t> moveMount(const std::string& staging, int targetfd, int parentfd,
                                            const std::string& name) = 0;

    /// Unmounts what is mounted on entry `name` of the pinned directory
    /// `parentfd`, only if it is the mount `mnt_id`. Fails with EINVAL when
    /// that mount is not there any more.
    virtual orv::Result<void> unmount(int parentfd, const std::string& name, uint64_t mnt_id, bool force) = 0;
    /// The same check, then a lazy detach (MNT_DETACH): the mount leaves the
    /// tree at once and ends when its last open file is closed.
    virtual orv::Result<void> detach(int parentfd, const std::string& name, uint64_t mnt_id) {
        (void)parentfd, (void)name, (void)mnt_id;
        return orv::Error::fromErrno(ENOSYS, "detach");
    }

    /// A pidfd of the davfs2 daemon serving the mount staged at `staging`;
    /// invalid when there is none (nothing to wait for).
    virtual orv::UniqueFd openDaemon(const std::string& staging) {
        (void)staging;
        return orv::UniqueFd();
    }
    /// The files davfs2 still caches for that mount (logged when its daemon
    /// did not finish in time).
    virtual std::vector<std::string> cachedFiles(const std::string& staging) {
        (void)staging;
        return {};
    }
};

/// Where mount.davfs keeps a pid file for each mount point it serves.
inline constexpr const char* kDavfsPidDir = "/var/run/mount.davfs";

class RealMountSystem : public MountSystem {
public:
    explicit RealMountSystem(std::string staging_dir);
    /// Creates the staging directory root-only when missing and makes it a
    /// private mount of its own, so a mount under it may be moved (the kernel
    /// refuses to move a mount whose parent mount is shared). Once, at start.
    void prepareStaging();

    int runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) override;
    void cancelCommand() override;
    std::string makeStaging(uid_t uid, const std::string& folder) override;
    void reserveStaging(const std::string& staging) override;
    void dropStaging(const std::string& staging) override;
    void releaseStaging(const std::string& staging) override;
    orv::Result<uint64_t> moveMount(const std::string& staging, int targetfd, int parentfd,
                                    const std::string& name) override;
    orv::Result<void> unmount(int parentfd, const std::string& name, uint64_t mnt_id, bool force) override;
    orv::Result<void> detach(int parentfd, const std::string& name, uint64_t mnt_id) override;
    orv::UniqueFd openDaemon(const std::string& staging) override;
    std::vector<std::string> cachedFiles(const std::string& staging) override;

private:
    std::string staging_dir_;
    // Names whose mount may still be served by a davfs2 daemon. Its pid file
    // is written only after the mount command has returned, so it alone
    // cannot tell a name is taken.
    std::mutex mutex_;
    std::set<std::string> in_use_;
    // The mount command running now (0: none), for cancelCommand.
    std::mutex command_mutex_;
    pid_t command_pid_ = 0;
};

/// Where davfs2 keeps the caches of mounts made by root.
inline constexpr const char* kDavfsCacheDir = "/var/cache/davfs2";

/// runCommand of the real system: posix_spawn, then a wait on a pidfd up to
/// the deadline, then the whole process tree killed. `running`, when given,
/// is told the child's pid once it runs and 0 once it has ended but before it
/// is reaped (so the pid cannot have been reused while it was announced).
int run_command(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                const std::function<void(pid_t)>& running = nullptr);

/// The mount id of what an open descriptor lies on (statx STATX_MNT_ID); 0
/// when it cannot be read.
uint64_t mount_id_of(int fd);

/// Kills a process and every descendant (a tree snapshot from /proc, taken
/// again until no new one appears): sudo runs the command on its own
/// terminal and session, so killing a process group is not enough.
void kill_process_tree(int pid);

}  // namespace qmss
