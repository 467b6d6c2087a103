// The two ends of an instance's life as far as shares go: adopting what a
// previous instance left mounted, and, at SIGTERM, either leaving the
// shares to the next instance (a restart) or ending them cleanly.
#pragma once

#include "Config.h"
#include "mount/MountManager.h"
#include "mount/ShareStateStore.h"
#include "mount/StopPolicy.h"

namespace qmss {

/// At start: the recorded shares still mounted become this instance's.
size_t adopt_recorded_shares(MountManager& manager, ShareStateStore& store,
                             const std::string& mountinfo = "/proc/self/mountinfo");

/// At SIGTERM, once no request can arrive any more. Returns the decision.
StopKind end_shares_at_stop(MountManager& manager, StopProbe& probe, const ServiceConfig& config);

}  // namespace qmss
