/* logs_cli: the print daemon's log with a fixed header and size rotation.
 *
 * Writers never block on a rotation: the thread that crosses the size limit
 * renames the file to "<path>.0", opens a fresh one and publishes it; a
 * short-lived thread closes the old stream a little later and shifts the
 * numbered backups. A read-write lock around each write keeps the old stream
 * alive until the last writer that picked it up has finished its line, so a
 * writer that was descheduled across the close delay still lands its line
 * instead of writing into a closed stream. */
#define _GNU_SOURCE
#include "liblog/logs_cli.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

struct log_state {
    _Atomic(FILE*) stream;
    char* path;
    int32_t level_mask;
    int32_t max_size;
    int32_t close_delay_us;
    int32_t backup_count;
    int32_t newline_before;
    int32_t fixed_timezone;
    atomic_long written;
    atomic_int rotating;
    char tz[6];
    int pid;
};

static struct log_state g_log = {
    .level_mask = LOG_DEFAULT_MASK,
    .tz = "+0000",
};

/* Held shared by every write, exclusively by the close of a rotated-out
 * stream. Writer preference keeps a busy log from starving the close. */
static pthread_rwlock_t g_stream_lock;
static pthread_once_t g_lock_once = PTHREAD_ONCE_INIT;

static void init_stream_lock(void) {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&g_stream_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

static FILE* current_stream(void) {
    FILE* f = atomic_load(&g_log.stream);
    return f ? f : stdout;
}

void log_config_defaults(log_config* config) {
    if (!config) {
        return;
    }
    config->path = NULL;
    config->level_mask = LOG_DEFAULT_MASK;
    config->max_size = 10485760;
    config->close_delay_us = 10000;
    config->backup_count = 3;
    config->newline_before = 0;
    config->fixed_timezone = 1;
}

const char* log_level_name(int level) {
    switch (level) {
    case 1: return "CRITICAL";
    case 2: return "ERROR";
    case 4: return "WARNING";
    case 8: return "INFO";
    case 16: return "INFO";
    case 1024: return "DEBUG";
    case 2048: return "INFO";
    default: return "UNKNOWN";
    }
}

static void take_timezone(char out[6], const struct tm* tm) {
    char buf[16];
    if (strftime(buf, sizeof buf, "%z", tm) == 0) {
        memcpy(out, "+0000", 6);
        return;
    }
    memcpy(out, buf, 5);
    out[5] = '\0';
}

/* Creates every missing directory on the way to `path`'s parent. */
static int make_parent_dirs(const char* path) {
    const char* last = strrchr(path, '/');
    if (!last || last == path) {
        return 0;
    }
    size_t len = (size_t)(last - path);
    char* dir = malloc(len + 1);
    if (!dir) {
        return -ENOMEM;
    }
    int rc = 0;
    for (size_t i = 1; i <= len && rc == 0; ++i) {
        if (i != len && path[i] != '/') {
            continue;
        }
        memcpy(dir, path, i);
        dir[i] = '\0';
        struct stat st;
        if (stat(dir, &st) == 0) {
            continue;
        }
        if (errno != ENOENT) {
            rc = -errno;
        } else if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
            rc = -errno;
        }
    }
    free(dir);
    return rc;
}

static void wait_rotation_done(void) {
    while (atomic_load(&g_log.rotating)) {
        usleep(1000);
    }
}

static void reset_state(void) {
    wait_rotation_done();
    FILE* f = atomic_exchange(&g_log.stream, NULL);
    if (f && f != stdout) {
        fclose(f);
    }
    free(g_log.path);
    g_log.path = NULL;
    g_log.level_mask = LOG_DEFAULT_MASK;
    g_log.max_size = 0;
    g_log.close_delay_us = 0;
    g_log.backup_count = 0;
    g_log.newline_before = 0;
    g_log.fixed_timezone = 1;
    atomic_store(&g_log.written, 0);
    memcpy(g_log.tz, "+0000", 6);
    g_log.pid = 0;
}

int log_open(const log_config* config) {
    if (!config) {
        return -EINVAL;
    }
    pthread_once(&g_lock_once, init_stream_lock);
    reset_state();

    FILE* stream = stdout;
    if (config->path) {
        g_log.path = strdup(config->path);
        if (!g_log.path) {
            return -ENOMEM;
        }
        struct stat st;
        if (stat(g_log.path, &st) != 0) {
            int rc = make_parent_dirs(g_log.path);
            if (rc != 0) {
                free(g_log.path);
                g_log.path = NULL;
                return rc;
            }
        } else {
            atomic_store(&g_log.written, (long)st.st_size);
        }
        stream = fopen(g_log.path, "a");
        if (!stream) {
            int rc = -errno;
            free(g_log.path);
            g_log.path = NULL;
            return rc;
        }
    }
    setvbuf(stream, NULL, _IONBF, 0);
    atomic_store(&g_log.stream, stream);

    g_log.level_mask = config->level_mask == -1 ? LOG_DEFAULT_MASK : config->level_mask;
    g_log.max_size = config->max_size < 0 ? 0 : config->max_size;
    g_log.close_delay_us = config->close_delay_us < 0 ? 0 : config->close_delay_us;
    g_log.backup_count = config->backup_count;
    g_log.newline_before = config->newline_before;
    g_log.fixed_timezone = config->fixed_timezone;

    time_t now = time(NULL);
    struct tm tm;
    localtime_r(&now, &tm);
    take_timezone(g_log.tz, &tm);
    g_log.pid = (int)getpid();
    return 0;
}

int log_close(void) {
    wait_rotation_done();
    FILE* f = atomic_exchange(&g_log.stream, NULL);
    if (f && f != stdout) {
        fclose(f);
    }
    free(g_log.path);
    g_log.path = NULL;
    return 0;
}

int log_enabled(int level) {
    return level != 0 && (level & g_log.level_mask) == level;
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

int log_header(char* buffer, size_t size, int level) {
    if (!buffer || size == 0) {
        return 0;
    }
    struct timeval tv;
    gettimeofday(&tv, NULL);
    if (!t_second.valid || t_second.second != tv.tv_sec || !g_log.fixed_timezone) {
        time_t secs = tv.tv_sec;
        localtime_r(&secs, &t_second.tm);
        t_second.second = tv.tv_sec;
        t_second.valid = 1;
    }
    const struct tm* tm = &t_second.tm;
    char tz[6];
    if (g_log.fixed_timezone) {
        memcpy(tz, g_log.tz, sizeof tz);
    } else {
        take_timezone(tz, tm);
    }
    int year = tm->tm_year + 1900;
    if (year < 0 || year > 9999) {
        int n = snprintf(buffer, size, "%s[%04d-%02d-%02d %02d:%02d:%02d.%03ld %s] [PID:%d] [%s] ",
                         g_log.newline_before ? "\n" : "", year, tm->tm_mon + 1, tm->tm_mday,
                         tm->tm_hour, tm->tm_min, tm->tm_sec, (long)(tv.tv_usec / 1000), tz,
                         g_log.pid, log_level_name(level));
        if (n < 0) {
            buffer[0] = '\0';
            return 0;
        }
        return (size_t)n >= size ? (int)(size - 1) : n;
    }
    /* "[YYYY-MM-DD HH:MM:SS.mmm +zzzz] [PID:" formatted by hand. */
    char text[128];
    char* p = text;
    if (g_log.newline_before) {
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
    p = put_digits(p, (long)(tv.tv_usec / 1000), 3);
    *p++ = ' ';
    size_t tzlen = strlen(tz);
    memcpy(p, tz, tzlen);
    p += tzlen;
    int n = snprintf(p, sizeof text - (size_t)(p - text), "] [PID:%d] [%s] ", g_log.pid,
                     log_level_name(level));
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    size_t len = (size_t)(p - text) + (size_t)n;
    if (len >= size) {
        len = size - 1;
    }
    memcpy(buffer, text, len);
    buffer[len] = '\0';
    return (int)len;
}

FILE* log_file(void) {
    return current_stream();
}

struct rotation {
    FILE* old;
    int32_t delay_us;
};

static void shift_backups(void) {
    size_t len = strlen(g_log.path) + 16;
    char* from = malloc(len);
    char* to = malloc(len);
    if (from && to) {
        for (int n = g_log.backup_count; n >= 1; --n) {
            snprintf(from, len, "%s.%d", g_log.path, n - 1);
            snprintf(to, len, "%s.%d", g_log.path, n);
            if (n == g_log.backup_count) {
                remove(to);
            }
            rename(from, to);
        }
    }
    free(from);
    free(to);
}

static void finish_rotation(struct rotation* r) {
    if (r->delay_us > 0) {
        usleep((useconds_t)r->delay_us);
    }
    /* Exclusive: no writer is still inside a line on the old stream. */
    pthread_rwlock_wrlock(&g_stream_lock);
    fclose(r->old);
    pthread_rwlock_unlock(&g_stream_lock);
    free(r);
    shift_backups();
    atomic_store(&g_log.rotating, 0);
}

static void* rotation_thread(void* arg) {
    finish_rotation(arg);
    return NULL;
}

static void rotate(void) {
    size_t len = strlen(g_log.path) + 3;
    char* zero = malloc(len);
    struct rotation* r = malloc(sizeof *r);
    if (!zero || !r) {
        goto abandon;
    }
    snprintf(zero, len, "%s.0", g_log.path);
    if (rename(g_log.path, zero) != 0) {
        goto abandon;
    }
    FILE* fresh = fopen(g_log.path, "a");
    if (!fresh) {
        /* Put the file back, or every later line would go to ".0" and the
         * live name would never exist again to be rotated. */
        rename(zero, g_log.path);
        goto abandon;
    }
    setvbuf(fresh, NULL, _IONBF, 0);
    r->old = atomic_exchange(&g_log.stream, fresh);
    r->delay_us = g_log.close_delay_us;
    atomic_store(&g_log.written, 0);
    free(zero);

    pthread_attr_t attr;
    pthread_t tid;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&tid, &attr, rotation_thread, r) != 0) {
        finish_rotation(r); /* no thread to spare: do it here rather than leak */
    }
    pthread_attr_destroy(&attr);
    return;

abandon:
    free(zero);
    free(r);
    atomic_store(&g_log.rotating, 0);
}

void log_account(long count) {
    FILE* f = atomic_load(&g_log.stream);
    if (g_log.max_size == 0 || !f || f == stdout || !g_log.path) {
        return;
    }
    long total = atomic_fetch_add(&g_log.written, count) + count;
    if (total < g_log.max_size) {
        return;
    }
    int expected = 0;
    if (!atomic_compare_exchange_strong(&g_log.rotating, &expected, 1)) {
        return;
    }
    rotate();
}

/* Set when a line was cut short (a full disk): the next line first ends the
 * fragment, so it does not run on into the middle of it. */
static atomic_int g_cut_line;

long log_write(const char* data, size_t len) {
    pthread_once(&g_lock_once, init_stream_lock);
    pthread_rwlock_rdlock(&g_stream_lock);
    FILE* f = current_stream();
    if (atomic_load(&g_cut_line) && atomic_exchange(&g_cut_line, 0)) {
        if (fwrite("\n", 1, 1, f) != 1) {
            atomic_store(&g_cut_line, 1);
        }
    }
    size_t n = fwrite(data, 1, len, f);
    if (n > 0 && n < len) {
        atomic_store(&g_cut_line, 1);
    }
    pthread_rwlock_unlock(&g_stream_lock);
    long written = n == len ? (long)n : 0;
    log_account(written);
    return written;
}
