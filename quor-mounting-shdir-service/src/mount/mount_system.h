// The system operations the mount manager drives, behind one interface so
// tests can record them instead of mounting. Every operation on a user's
// tree takes a pinned directory descriptor, never a path string.
#pragma once

#include <chrono>
#include <cstdint>
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
  virtual int runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds deadline) = 0;

  /// A fresh, empty, root-only directory for the mount command to mount on;
  /// "" when none could be made (logged).
  virtual std::string makeStaging() = 0;
  /// Detaches whatever is still mounted on a staging directory and removes it.
  virtual void dropStaging(const std::string& staging) = 0;

  /// Moves the mount sitting on `staging` onto the directory `targetfd`
  /// (the descriptor of the directory that was checked), which must still
  /// be entry `name` of the pinned directory `parentfd`: if the user renamed
  /// it before the move, the mount is detached again and EXDEV returned, so
  /// every recorded mount can be found (and unmounted) as parent/name. 0 or
  /// an errno value; *mnt_id gets the mount's id.
  virtual int moveMount(const std::string& staging, int targetfd, int parentfd,
                        const std::string& name, uint64_t* mnt_id) = 0;

  /// Unmounts what is mounted on entry `name` of the pinned directory
  /// `parentfd`, only if it is the mount `mnt_id`. 0 or an errno value;
  /// EINVAL when that mount is not there any more.
  virtual int unmount(int parentfd, const std::string& name, uint64_t mnt_id, bool force) = 0;
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
  std::string makeStaging() override;
  void dropStaging(const std::string& staging) override;
  int moveMount(const std::string& staging, int targetfd, int parentfd, const std::string& name,
                uint64_t* mnt_id) override;
  int unmount(int parentfd, const std::string& name, uint64_t mnt_id, bool force) override;

 private:
  std::string staging_dir_;
};

/// runCommand of the real system: posix_spawn, then a wait on a pidfd up to
/// the deadline, then the whole process tree killed.
int run_command(const std::vector<std::string>& argv, std::chrono::milliseconds deadline);

/// The mount id of what an open descriptor lies on (statx STATX_MNT_ID); 0
/// when it cannot be read.
uint64_t mount_id_of(int fd);

/// Kills a process and every descendant (a tree snapshot from /proc, taken
/// again until no new one appears): sudo runs the command on its own
/// terminal and session, so killing a process group is not enough.
void kill_process_tree(int pid);

}  // namespace qmss
