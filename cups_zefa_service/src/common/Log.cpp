#include "common/Log.h"

#include <liblog/logs_cli.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <memory>

namespace czs {

namespace {

// Most lines fit here; longer ones take one heap buffer.
constexpr size_t kLineBuffer = 1024;

// Appends "[tag]:[op]: " then the formatted text at `at`; returns the length
// the complete line needs (which may exceed `size`).
int formatBody(char* out, size_t size, int at, const char* tag, const char* op,
               const char* fmt, va_list args) {
    size_t pos = static_cast<size_t>(at);
    int n = 0;
    if (tag) {
        n = std::snprintf(out + pos, pos < size ? size - pos : 0, "[%s]:[%s]: ", tag, op ? op : "");
        if (n < 0) {
            return -1;
        }
        pos += static_cast<size_t>(n);
    }
    int m = std::vsnprintf(out + (pos < size ? pos : size), pos < size ? size - pos : 0, fmt, args);
    if (m < 0) {
        return -1;
    }
    return static_cast<int>(pos) + m;
}

}  // namespace

void logLine(int level, const char* tag, const char* op, const char* fmt, ...) {
    if (!log_enabled(level)) {
        return;
    }
    char line[kLineBuffer];
    int header = log_header(line, LOG_HEADER_SIZE, level);

    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int total = formatBody(line, sizeof line, header, tag, op, fmt, args);
    va_end(args);

    if (total < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(total) < sizeof line) {
        log_write(line, static_cast<size_t>(total));
    } else {
        auto big = std::make_unique<char[]>(static_cast<size_t>(total) + 1);
        std::copy(line, line + header, big.get());
        formatBody(big.get(), static_cast<size_t>(total) + 1, header, tag, op, fmt, again);
        log_write(big.get(), static_cast<size_t>(total));
    }
    va_end(again);
}

}  // namespace czs
