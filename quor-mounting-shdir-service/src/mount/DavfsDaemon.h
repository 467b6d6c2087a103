// The mount.davfs process behind a share, reached without signalling it:
// davfs2 uploads what a share still holds only after the kernel has
// unmounted it, so a clean end is an unmount followed by a wait for that
// process, never a signal to it.
#pragma once

#include <runtime/UniqueFd.h>

#include <string>
#include <vector>

namespace qmss {

/// davfs2's name for the pid file of a mount point: the path without its
/// leading "/", every "/" made "-", then ".pid".
std::string davfs_pid_file_name(const std::string& mount_point);

/// A pidfd of the mount.davfs that serves `mount_point`, from its pid file in
/// `pid_dir` (root's; the file is read without following links and the
/// process checked to be mount.davfs after the pidfd pins it). Invalid when
/// there is none.
orv::UniqueFd open_davfs_daemon(const std::string& pid_dir, const std::string& mount_point);

/// The files davfs2 still keeps for `mount_point` in its cache directories
/// under `cache_root` (named after the mount point), "index" left out: after
/// a daemon that did not finish, what may not have reached the server.
std::vector<std::string> davfs_cache_files(const std::string& cache_root, const std::string& mount_point);

}  // namespace qmss
