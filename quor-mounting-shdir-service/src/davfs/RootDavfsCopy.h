// The davfs2 configuration and secrets that root's mount.davfs reads: a
// root-only copy under the service's run directory, written from the values
// the service checked, so that nothing a user can swap in their home (the
// files there, the directory .davfs2, a link) reaches what root's davfs2
// opens. The files in the home stay for the user's own tools.
#pragma once

#include <string>

#include "Config.h"

namespace qmss {

/// Writes <dir>/<key>.conf and <dir>/<key>.secrets (0600, dir 0700, both
/// root's) and returns the configuration's path; "" when they could not be
/// written (logged). `key` is a staging name (a plain file name).
std::string write_root_davfs_copy(const std::string& dir, const std::string& key, const ServiceConfig& config);

/// Removes both files of `key`; a missing file is not an error.
void remove_root_davfs_copy(const std::string& dir, const std::string& key);

/// The configuration text of the copy.
std::string root_davfs_conf_text(const std::string& secrets_path, const ServiceConfig& config);

}  // namespace qmss
