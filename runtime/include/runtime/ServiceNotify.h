// Talks to the service manager that started the process (systemd, through the
// datagram socket named by $NOTIFY_SOCKET): readiness, a status line for
// `systemctl status`, liveness pings and stop progress. Every call is a cheap
// no-op where no manager listens (started by hand, in a test), and every call
// is safe from any thread.
#pragma once

#include <chrono>
#include <string_view>

namespace orv::notify {

/// Whether a service manager listens for these messages.
bool managed();

/// The service does its job from now on; `status` says what it is doing.
void ready(std::string_view status);

/// One line for `systemctl status`: what the service waits for or serves.
void status(std::string_view status);

/// The service has begun to stop.
void stopping();

/// The service is still making progress on a stop (or start) and needs
/// `extra` more time from now than the unit's timeout allows.
void extendTimeout(std::chrono::microseconds extra);

/// The event loop is alive.
void watchdog();

/// How often to call watchdog(): half the interval the manager asked for,
/// or zero when it asked for none.
std::chrono::microseconds watchdogPeriod();

}  // namespace orv::notify
