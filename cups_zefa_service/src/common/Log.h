// The print daemon's one logging routine: every line gets the liblog header,
// then "[Tag]:[operation]: " and the text, written with a single stdio call.
#pragma once

namespace czs {

enum LogLevel : int {
    kLogError = 2,
    kLogInfo = 16,
};

// Logs one line at `level`; any thread (liblog writes each line whole). `tag` is the class name, `op` the operation that
// logs; a null `tag` writes the text right after the header (the entry
// point's untagged lines). `fmt` is the text's printf format.
void logLine(int level, const char* tag, const char* op, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace czs

// Call sites name the class once (static constexpr const char* kLogTag) and
// the operation per line:  CZS_LOG_INFO("open", "port opened\n");
#define CZS_LOG_INFO(op, ...) ::czs::logLine(::czs::kLogInfo, kLogTag, op, __VA_ARGS__)
#define CZS_LOG_ERROR(op, ...) ::czs::logLine(::czs::kLogError, kLogTag, op, __VA_ARGS__)
