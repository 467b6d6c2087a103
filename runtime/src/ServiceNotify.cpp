#include "runtime/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace orv::notify {

namespace {

// A status is one line of free text in a newline-separated assignment list:
// a newline inside it would start another assignment.
std::string oneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return out;
}

void send(const std::string& message) {
    (void)sd_notify(0, message.c_str());
}

}  // namespace

bool managed() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

void ready(std::string_view text) {
    send("READY=1\nSTATUS=" + oneLine(text));
}

void status(std::string_view text) {
    send("STATUS=" + oneLine(text));
}

void stopping() {
    send("STOPPING=1");
}

void extendTimeout(std::chrono::microseconds extra) {
    send("EXTEND_TIMEOUT_USEC=" + std::to_string(extra.count()));
}

void watchdog() {
    send("WATCHDOG=1");
}

std::chrono::microseconds watchdogPeriod() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec / 2);
}

}  // namespace orv::notify
