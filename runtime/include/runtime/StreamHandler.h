// What a StreamServer tells its user about clients: who a client is, why its
// connection ended, and the handler interface through which units arrive.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>

namespace orv {

class StreamSession;

/// Who is on the other end of a Unix connection (SO_PEERCRED, taken when the
/// connection was accepted). Unknown for TCP peers.
struct PeerCredentials {
    bool known = false;
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};

/// Why a client's connection ended.
enum class CloseReason {
    PeerClosed,      ///< end of file (and every answer owed was written or given up)
    ReadError,       ///< a read failed
    WriteError,      ///< writing an answer failed (the peer went away)
    UnitDeadline,    ///< no complete unit within the unit deadline
    AnswerDeadline,  ///< an answer owed to the client took longer than its bound
    TooLong,         ///< a line grew past the longest allowed
    Shed,            ///< an idle client made room for a new one at the cap
    ByHandler,       ///< the handler closed it
    ServerStopped,   ///< the server stopped
};
const char* closeReasonText(CloseReason reason) noexcept;

/// What the server reports to its user. Called on the loop thread.
class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    /// A client was admitted (its credentials are known by now).
    virtual void onAccepted(StreamSession&) {}
    /// Every read completion, failed ones included (for the caller's log).
    virtual void onRead(StreamSession&, const std::error_code&, std::size_t) {}
    /// One complete unit: a line with its newline, or one record. The bytes
    /// are valid for the call only.
    virtual void onUnit(StreamSession& session, std::span<const uint8_t> unit) = 0;
    /// A read that completed no unit; `size` is what that read brought.
    virtual void onPartial(StreamSession&, std::size_t) {}
    /// The connection ended; `ec` is set for read and write errors.
    virtual void onClosed(StreamSession&, CloseReason, const std::error_code&) {}
};

}  // namespace orv
