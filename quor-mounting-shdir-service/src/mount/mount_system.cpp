#include "mount_system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace qmss {

int RealMountSystem::runCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // davfs2 asks for credentials on the terminal when it has none: with no
  // terminal it fails instead of waiting for ever with the mutex held.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The mount point sits in a directory the user controls: never follow a
// link planted in its place.
int RealMountSystem::unmount(const std::string& path) {
  return umount2(path.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

int RealMountSystem::forceUnmount(const std::string& path) {
  return umount2(path.c_str(), MNT_FORCE | UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

}  // namespace qmss
