// The one log front of both daemons: a level, the tag of the code that logs
// (its class, or none, and its function) and a printf text, handed to the
// process's sink. The sink decides the line's shape: liblog's file with its
// fixed header for the print daemon, the system log for the mount service.
#pragma once

#include <cstdarg>
#include <string_view>

namespace orv {

enum class LogLevel { Error, Warning, Info, Debug };

/// Where a line comes from: `owner` is the class name (null for free code and
/// the print daemon's untagged entry-point lines), `function` the function
/// that logs it, so a line can be grepped back to its code.
struct LogTag {
    const char* owner;
    const char* function;
};

/// Receives finished texts. Installed once per process before any thread
/// starts; called from any thread, so implementations serialise their output.
class LogSink {
public:
    virtual ~LogSink() = default;
    /// Whether a line at `level` would be written; false spares formatting it.
    virtual bool enabled(LogLevel level) const noexcept = 0;
    /// Writes one line; `text` is the call site's formatted text, usually
    /// ending in a newline.
    virtual void write(LogLevel level, const LogTag& tag, std::string_view text) noexcept = 0;
};

/// Installs the process's sink (borrowed: it must outlive every log call) and
/// returns the one it replaces. Null drops every line.
LogSink* setLogSink(LogSink* sink) noexcept;
bool logEnabled(LogLevel level) noexcept;

void log(LogLevel level, const LogTag& tag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void vlog(LogLevel level, const LogTag& tag, const char* fmt, va_list args) __attribute__((format(printf, 3, 0)));

}  // namespace orv

/// The owner a line names where the surrounding code names none; a class
/// that logs declares its own `static constexpr const char* kLogTag`.
inline constexpr const char* kLogTag = nullptr;

/// ORV_LOG(Info, "port opened\n"): tagged with the enclosing class's kLogTag
/// and the enclosing function's name.
#define ORV_LOG(level, ...) ::orv::log(::orv::LogLevel::level, ::orv::LogTag{kLogTag, __func__}, __VA_ARGS__)
/// For lines whose function name is part of a fixed log text, and for lines
/// logged from a lambda (whose __func__ is "operator()"): names it explicitly.
#define ORV_LOG_AS(level, function, ...) \
    ::orv::log(::orv::LogLevel::level, ::orv::LogTag{kLogTag, function}, __VA_ARGS__)
