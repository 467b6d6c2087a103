// Ends a user's shares when the user's login ends, as logind tells it: a
// share must not stay mounted, with its credentials in place, in the home of
// someone who has left. The sd-login calls sit behind LoginStates so tests
// can stand in for logind.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <runtime/UniqueFd.h>

#include "Config.h"
#include "mount/MountManager.h"

namespace qmss {

class LoginStates {
public:
    virtual ~LoginStates() = default;
    /// Whether logind runs (its seats directory exists).
    virtual bool available() const = 0;
    /// False only when logind says the user has no session left ("offline",
    /// "lingering", "closing", or no record of the user); true on any doubt.
    virtual bool loggedIn(uid_t uid) = 0;
    /// A descriptor that becomes readable when logins change; -1 for none.
    virtual int changeFd() = 0;
    /// Consumes the change notification.
    virtual void flush() = 0;
};

/// sd-login: sd_uid_get_state, and sd_login_monitor on "uid".
std::unique_ptr<LoginStates> make_logind_states(std::string seats_dir = "/run/systemd/seats");

/// Removes the service's credential line from the secrets file it keeps in
/// the home (~/.davfs2/secrets_orvanta), through pinned descriptors, only
/// when that file is the service's own.
void remove_home_credential(const std::string& homedir, const std::string& endpoint);

class LogoutWatch {
public:
    /// All borrowed; they must outlive the watch.
    LogoutWatch(MountManager& manager, LoginStates& states, const ServiceConfig& config);
    ~LogoutWatch();
    LogoutWatch(const LogoutWatch&) = delete;
    LogoutWatch& operator=(const LogoutWatch&) = delete;

    /// Watches on a thread of its own until stop.
    void start();
    /// Idempotent; waits for an unmount in progress to finish.
    void stop();
    /// One pass: the shares of every user logind reports logged out are
    /// ended cleanly. Returns how many shares ended.
    size_t checkOnce();

private:
    void run();

    MountManager& manager_;
    LoginStates& states_;
    const ServiceConfig& config_;
    orv::UniqueFd wake_;  // eventfd: stop
    std::thread thread_;
};

/// The watch the configuration asks for, started; nothing (logged once)
/// when it is switched off or logind does not run.
std::unique_ptr<LogoutWatch> start_logout_watch(MountManager& manager, LoginStates& states,
                                                const ServiceConfig& config);

}  // namespace qmss
