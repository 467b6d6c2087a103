// The mount service's single logging routine: every line goes to the system
// log, debug lines only while the debug gate is open.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace qmss {

enum Severity : int { kError = 3, kWarning = 4, kInfo = 6, kDebug = 7 };

// Writes one formatted line at the given syslog severity.
void service_log(int severity, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void service_vlog(int severity, const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

void set_debug_gate(bool on);
bool debug_gate();

// Where formatted lines go. The default sends them to syslog; tests install a
// recorder. Install before any worker thread starts.
using LogSink = std::function<void(int severity, const std::string& text)>;
void set_log_sink(LogSink sink);

// Replaces control bytes in text taken from peers, so a crafted name cannot
// forge extra log lines.
std::string printable(const std::string& text);

}  // namespace qmss
