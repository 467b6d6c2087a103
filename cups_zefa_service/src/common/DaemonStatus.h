// The one line `systemctl status` shows for the print daemon: where its host
// channel stands and how many printers it mirrors. Each piece is set where it
// changes (host channel, printer update, any thread) and the whole line goes
// to the service manager; without one it costs a lock and nothing more.
#pragma once

#include <cstddef>
#include <string>

namespace czs::daemon_status {

/// No host yet: `what` names the channels the daemon watches.
void waitingForHost(const std::string& what);

/// The host channel is open over `transport` ("shared memory", "serial port").
void hostOpen(const std::string& transport);

/// The host's last list left `count` queues mirrored in CUPS.
void printersMirrored(std::size_t count);

/// The line as it stands.
std::string line();

}  // namespace czs::daemon_status
