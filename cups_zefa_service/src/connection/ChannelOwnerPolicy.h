// Whose shared-memory print channel the daemon may talk to. Any local user can
// create the object before the host agent does; the daemon then would mirror
// that user's printers and hand them everyone's print jobs. Trusted owners:
// root, the user of the active seat session (where logind runs), and the
// owners the administrator configured.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include <runtime/SeatSessions.h>

namespace czs {

class ChannelOwnerPolicy {
public:
    /// `seats` is shared with the caller (may be null: no logind); `trusted`
    /// is copied. Logs once when logind does not run here.
    ChannelOwnerPolicy(std::shared_ptr<const orv::SeatSessions> seats, std::vector<uid_t> trusted);

    /// Empty when an object owned by `owner` may be used, otherwise why not.
    /// Any thread (asks logind afresh each time: the desktop user can change).
    std::string refusal(uid_t owner) const;

private:
    std::shared_ptr<const orv::SeatSessions> seats_;
    std::vector<uid_t> trusted_;
    bool logind_;
};

}  // namespace czs
