// What the print daemon and the "zefa-prt" CUPS backend must agree on: where
// the backend spools print files, where the daemon listens for their
// announcements, and the words of the daemon's answer. The only part of the daemon visible outside it; keep it free
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

/// The daemon answers each announcement line with one JSON object and a
/// newline, "status" first: {"status":"ok"} when the announcement frame is
/// wholly in the host channel, {"status":"error","reason":<one of the
/// reasons below>} when it is not. No answer (the connection closes) means
/// the daemon could not tell.
namespace backend_answer {

/// The key that comes first in every answer.
inline constexpr const char* kStatusKey = "status";
/// The key of an error answer's reason.
inline constexpr const char* kReasonKey = "reason";
/// The status of an announcement the host channel has taken whole; the only
/// answer that counts the job as delivered.
inline constexpr const char* kOk = "ok";
/// The status of every answer that carries a reason.
inline constexpr const char* kError = "error";
/// The line itself was refused (not one JSON value, wrong shape, a path
/// outside the spool): sending it again cannot help.
inline constexpr const char* kRefused = "announcement refused";
/// The frame did not reach the host channel (no connection, stalled ring,
/// the host left, the daemon stopping); worth retrying.
inline constexpr const char* kNotDelivered = "not delivered to the host";
/// The daemon has no host side to pass the frame to; worth retrying.
inline constexpr const char* kNoHost = "no host channel";

}  // namespace backend_answer

}  // namespace czs
