/* The fixed header of every log line:
 * "[YYYY-MM-DD HH:MM:SS.mmm +zzzz] [PID:n] [LEVEL] ", formatted without
 * stdio where possible because it is paid on every line. */
#include "liblog/logs_cli.h"
#include "log_state.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

const char* log_level_name(int level) {
    switch (level) {
        case 1:
            return "CRITICAL";
        case 2:
            return "ERROR";
        case 4:
            return "WARNING";
        case 8:
            return "INFO";
        case 16:
            return "INFO";
        case 1024:
            return "DEBUG";
        case 2048:
            return "INFO";
        default:
            return "UNKNOWN";
    }
}

static void timezone_of(char out[6], const struct tm* tm) {
    char buf[16];
    if (strftime(buf, sizeof buf, "%z", tm) == 0) {
        memcpy(out, "+0000", 6);
        return;
    }
    memcpy(out, buf, 5);
    out[5] = '\0';
}

void logs_take_timezone(char out[6]) {
    time_t now = time(NULL);
    struct tm tm;
    localtime_r(&now, &tm);
    timezone_of(out, &tm);
}

/* Local time of one second, kept per thread: localtime_r takes a global
 * lock and walks the zone rules, which would dominate the cost of a line. */
struct second_cache {
    time_t second;
    int valid;
    struct tm tm;
};
static _Thread_local struct second_cache t_second;

static char* put_digits(char* out, long value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = (char)('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

/* Copies at most size - 1 bytes of `text` and terminates: a short buffer
 * cuts the header, never overruns. */
static int cut_into(char* buffer, size_t size, const char* text, size_t len) {
    if (len >= size) {
        len = size - 1;
    }
    memcpy(buffer, text, len);
    buffer[len] = '\0';
    return (int)len;
}

int log_header(char* buffer, size_t size, int level) {
    if (!buffer || size == 0) {
        return 0;
    }
    struct timeval tv;
    gettimeofday(&tv, NULL);
    if (!t_second.valid || t_second.second != tv.tv_sec || !logs_g.fixed_timezone) {
        time_t secs = tv.tv_sec;
        localtime_r(&secs, &t_second.tm);
        t_second.second = tv.tv_sec;
        t_second.valid = 1;
    }
    const struct tm* tm = &t_second.tm;
    char tz[6];
    if (logs_g.fixed_timezone) {
        memcpy(tz, logs_g.tz, sizeof tz);
    } else {
        timezone_of(tz, tm);
    }
    const int year = tm->tm_year + 1900;
    const long millis = (long)(tv.tv_usec / 1000);
    char text[128];
    if (year < 0 || year > 9999) {
        /* Outside four digits the hand formatter below would cut the year. */
        int n = snprintf(text, sizeof text, "%s[%04d-%02d-%02d %02d:%02d:%02d.%03ld %s] [PID:%d] [%s] ",
                         logs_g.newline_before ? "\n" : "", year, tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min,
                         tm->tm_sec, millis, tz, logs_g.pid, log_level_name(level));
        if (n < 0) {
            buffer[0] = '\0';
            return 0;
        }
        return cut_into(buffer, size, text, (size_t)n < sizeof text ? (size_t)n : sizeof text - 1);
    }
    char* p = text;
    if (logs_g.newline_before) {
        *p++ = '\n';
    }
    *p++ = '[';
    p = put_digits(p, year, 4);
    *p++ = '-';
    p = put_digits(p, tm->tm_mon + 1, 2);
    *p++ = '-';
    p = put_digits(p, tm->tm_mday, 2);
    *p++ = ' ';
    p = put_digits(p, tm->tm_hour, 2);
    *p++ = ':';
    p = put_digits(p, tm->tm_min, 2);
    *p++ = ':';
    p = put_digits(p, tm->tm_sec, 2);
    *p++ = '.';
    p = put_digits(p, millis, 3);
    *p++ = ' ';
    const size_t tzlen = strlen(tz);
    memcpy(p, tz, tzlen);
    p += tzlen;
    int n = snprintf(p, sizeof text - (size_t)(p - text), "] [PID:%d] [%s] ", logs_g.pid, log_level_name(level));
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return cut_into(buffer, size, text, (size_t)(p - text) + (size_t)n);
}
