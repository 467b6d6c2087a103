// Who sits at the machine: the active sessions on its seats, as logind knows
// them. Root services use it to tell the desktop user from any other local
// user. Behind an interface so tests can stand in for logind.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace orv {

class SeatSessions {
public:
    virtual ~SeatSessions() = default;

    /// Whether logind runs on this machine (its seats directory exists). Where
    /// it does not (a container), callers fall back to their own rule.
    virtual bool available() const = 0;

    /// Whether `pid` belongs to the active session of a seat and `uid` is
    /// that session's user. False for anything logind cannot answer.
    virtual bool isActiveSeatSession(pid_t pid, uid_t uid) const = 0;

    /// The users of the active sessions of all seats (usually one).
    virtual std::vector<uid_t> activeSeatUsers() const = 0;
};

/// The real answer, read through sd-login from logind's state files and the
/// process's cgroup (no bus needed). `seatsDir` is only checked for existence.
std::unique_ptr<SeatSessions> makeLogindSeatSessions(std::string seatsDir = "/run/systemd/seats");

}  // namespace orv
