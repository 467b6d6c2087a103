#include "connection/ShmLogBridge.h"

#include <shm_channel/shm_channel.h>

#include <liblog/logs_cli.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/Log.h"

namespace czs {

namespace {

constexpr const char* kLogTag = "shm_channel";

extern "C" void shmLogToDaemonLog(int level, const char* fmt, va_list ap) {
    if (!log_enabled(level)) {
        return;
    }
    char text[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(text, sizeof text, fmt, copy);
    va_end(copy);
    if (n < 0) {
        return;
    }
    std::string line(text, static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1);
    // Some of the library's messages end without a newline; every log line
    // must end with exactly one.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    logLine(level, kLogTag, "shm_log", "%s\n", line.c_str());
}

}  // namespace

void installShmLogBridge() {
    shm_log_set_handler(&shmLogToDaemonLog, kLogError, kLogInfo, LOG_LVL_DEBUG);
}

}  // namespace czs
