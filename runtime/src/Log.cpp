#include "runtime/Log.h"

#include <atomic>
#include <cstdio>
#include <memory>

namespace orv {

namespace {

std::atomic<LogSink*> g_sink{nullptr};

// Most lines fit here; longer ones take one heap buffer.
constexpr std::size_t kLineBuffer = 1024;

}  // namespace

LogSink* setLogSink(LogSink* sink) noexcept {
    return g_sink.exchange(sink);
}

bool logEnabled(LogLevel level) noexcept {
    LogSink* sink = g_sink.load(std::memory_order_acquire);
    return sink != nullptr && sink->enabled(level);
}

void vlog(LogLevel level, const LogTag& tag, const char* fmt, va_list args) {
    LogSink* sink = g_sink.load(std::memory_order_acquire);
    if (sink == nullptr || !sink->enabled(level)) return;
    char small[kLineBuffer];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, fmt, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    const auto len = static_cast<std::size_t>(n);
    if (len < sizeof small) {
        sink->write(level, tag, std::string_view(small, len));
    } else {
        auto big = std::make_unique<char[]>(len + 1);
        std::vsnprintf(big.get(), len + 1, fmt, again);
        sink->write(level, tag, std::string_view(big.get(), len));
    }
    va_end(again);
}

void log(LogLevel level, const LogTag& tag, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(level, tag, fmt, args);
    va_end(args);
}

}  // namespace orv
