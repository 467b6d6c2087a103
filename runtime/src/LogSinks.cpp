#include "runtime/LogSinks.h"

#include <liblog/logs_cli.h>
#include <shm_channel/shm_channel.h>
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace orv {

namespace {

int liblogLevel(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Error:
            return LOG_LVL_ERROR;
        case LogLevel::Warning:
        case LogLevel::Info:
            return LOG_LVL_INFO;
        case LogLevel::Debug:
            return LOG_LVL_DEBUG;
    }
    return LOG_LVL_INFO;
}

constexpr std::size_t kLineBuffer = 1024;

extern "C" void shmToSink(void* user, int level, const char* fmt, va_list ap) {
    auto* sink = static_cast<LogSink*>(user);
    const auto lv = static_cast<LogLevel>(level);
    if (!sink->enabled(lv)) return;
    char text[kLineBuffer];
    const int n = std::vsnprintf(text, sizeof text, fmt, ap);
    if (n < 0) return;
    std::string line(text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
    // Some of the library's messages end without a newline; every log line
    // ends with exactly one.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    line += '\n';
    sink->write(lv, LogTag{"shm_channel", "shm_log"}, line);
}

}  // namespace

bool LiblogFileSink::enabled(LogLevel level) const noexcept {
    return log_enabled(liblogLevel(level)) != 0;
}

void LiblogFileSink::write(LogLevel level, const LogTag& tag, std::string_view text) noexcept {
    char line[kLineBuffer];
    const int header = log_header(line, LOG_HEADER_SIZE, liblogLevel(level));
    const std::size_t pos = static_cast<std::size_t>(header > 0 ? header : 0);
    const char* function = tag.function != nullptr ? tag.function : "";
    int n = 0;
    if (tag.owner != nullptr) {
        n = std::snprintf(line + pos, sizeof line - pos, "[%s]:[%s]: ", tag.owner, function);
        if (n < 0) return;
    }
    const std::size_t body = pos + static_cast<std::size_t>(n);
    if (body + text.size() < sizeof line) {
        std::copy(text.begin(), text.end(), line + body);
        log_write(line, body + text.size());
        return;
    }
    // Too long for the stack buffer: the same line built on the heap, still
    // written in one call.
    std::string whole(line, pos);
    if (tag.owner != nullptr) {
        whole.append("[").append(tag.owner).append("]:[").append(function).append("]: ");
    }
    whole.append(text);
    log_write(whole.data(), whole.size());
}

int syslogSeverity(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Warning:
            return LOG_WARNING;
        case LogLevel::Info:
            return LOG_INFO;
        case LogLevel::Debug:
            return LOG_DEBUG;
    }
    return LOG_INFO;
}

bool SyslogSink::enabled(LogLevel level) const noexcept {
    return level != LogLevel::Debug || debug_.load(std::memory_order_relaxed);
}

void SyslogSink::write(LogLevel level, const LogTag&, std::string_view text) noexcept {
    syslog(syslogSeverity(level), "%.*s", static_cast<int>(text.size()), text.data());
}

void routeShmLog(LogSink& sink) {
    shm_log_set_handler_data(&shmToSink, &sink, static_cast<int>(LogLevel::Error), static_cast<int>(LogLevel::Info),
                             static_cast<int>(LogLevel::Debug));
}

}  // namespace orv
