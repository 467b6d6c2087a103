// What the print daemon and the "zefa-prt" CUPS backend must agree on: where
// the backend spools print files and where the daemon listens for their
// announcements. The only part of the daemon visible outside it; keep it free
// of daemon dependencies.
#pragma once

#include <cstdint>

namespace czs {

/// The private spool directory: root-owned, mode 0700. The daemon runs as
/// root and ships whatever it serves to the host, so no other user may be
/// able to place or link files here; it serves print files from nowhere else.
inline constexpr const char* kSpoolDir = "/var/spool/orvanta-print";

/// The loopback address on which the daemon takes the backend's
/// announcements; nothing off the machine may announce print files.
inline constexpr const char* kBackendAddress = "127.0.0.1";

/// The loopback TCP port on which the daemon takes the backend's
/// announcements (one JSON object per line).
inline constexpr std::uint16_t kBackendPort = 4848;

}  // namespace czs
