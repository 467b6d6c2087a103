// Routes the shared-memory channel library's own messages into the daemon's
// log, each as one line with the usual header. Without it they would go to
// standard output, which is /dev/null once the daemon has detached.
#pragma once

namespace czs {

/// Installs the bridge (process-wide; call once, before any endpoint starts).
/// The library's errors become error lines, its notes info lines, its debug
/// messages debug lines (off in the daemon's level mask).
void installShmLogBridge();

}  // namespace czs
