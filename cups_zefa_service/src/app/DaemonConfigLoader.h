// Reads the daemon's settings file into a DaemonConfig. A missing file means
// every default; a file that cannot be used is logged and ignored as a whole,
// so a typo never leaves the daemon half-configured.
#pragma once

#include <string>

#include "common/DaemonConfig.h"

namespace czs {

/// Main thread, at start. Keys: spool_retention_minutes (a positive whole
/// number), follow_host_default (true/false), trusted_channel_owners (a list
/// of user names or numeric uids), print_format (host, pdf, ps or raw). Unknown keys are ignored; an owner name
/// that no user has is logged and left out.
DaemonConfig loadDaemonConfig(const std::string& path = kDaemonConfigPath);

}  // namespace czs
