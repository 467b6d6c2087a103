// The sinks the daemons install into the log front, and the route that takes
// the shared-memory library's own messages into whichever sink is installed.
#pragma once

#include <atomic>

#include "runtime/Log.h"

namespace orv {

/// The print daemon's log: liblog's file (opened by the caller with
/// log_open), each line "<header>[Owner]:[function]: text" in one write, or
/// "<header>text" when the tag names no owner. Errors go at liblog's error
/// level, warnings and notes at its info level, debug at its debug level;
/// liblog's level mask decides what is written.
class LiblogFileSink final : public LogSink {
public:
    bool enabled(LogLevel level) const noexcept override;
    void write(LogLevel level, const LogTag& tag, std::string_view text) noexcept override;
};

/// The mount service's log: the system log (opened by the caller with
/// openlog) at severities 3, 4, 6 and 7; debug lines only while the debug
/// gate is open. The tag is not printed: the texts are the whole message.
class SyslogSink final : public LogSink {
public:
    bool enabled(LogLevel level) const noexcept override;
    void write(LogLevel level, const LogTag& tag, std::string_view text) noexcept override;
    void setDebug(bool on) noexcept { debug_.store(on, std::memory_order_relaxed); }

private:
    std::atomic<bool> debug_{false};
};

/// The syslog severity of a level: 3, 4, 6 or 7.
int syslogSeverity(LogLevel level) noexcept;

/// Hands the shared-memory library's messages to `sink` (through the
/// library's user-data pointer; `sink` must outlive every endpoint), each as
/// one line ending in exactly one newline, tagged [shm_channel]:[shm_log].
/// The library's own debug switch stays the caller's (shm_log_set_debug).
void routeShmLog(LogSink& sink);

}  // namespace orv
