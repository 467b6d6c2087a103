/* logs_cli: the public front of the print daemon's log. Opens and closes the
 * one log of the process, filters by level and accounts written bytes; the
 * header is formatted in log_line.c, the file and its rotation live in
 * log_rotation.c. */
#define _GNU_SOURCE
#include "liblog/logs_cli.h"
#include "log_state.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

struct logs_state logs_g = {
    .level_mask = LOG_DEFAULT_MASK,
    .tz = "+0000",
};

static FILE* current_stream(void) {
    FILE* f = atomic_load(&logs_g.stream);
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

/* Closes the stream unless it is stdout and forgets the path. */
static void drop_stream(void) {
    logs_wait_rotation_done();
    FILE* f = atomic_exchange(&logs_g.stream, NULL);
    if (f && f != stdout) {
        fclose(f);
    }
    free(logs_g.path);
    logs_g.path = NULL;
}

static void reset_state(void) {
    drop_stream();
    logs_g.level_mask = LOG_DEFAULT_MASK;
    logs_g.max_size = 0;
    logs_g.close_delay_us = 0;
    logs_g.backup_count = 0;
    logs_g.newline_before = 0;
    logs_g.fixed_timezone = 1;
    atomic_store(&logs_g.written, 0);
    memcpy(logs_g.tz, "+0000", 6);
    logs_g.pid = 0;
}

/* Opens the file of `path` (kept as logs_g.path): 0 or a negative errno. */
static int open_path(const char* path, FILE** stream) {
    logs_g.path = strdup(path);
    if (!logs_g.path) {
        return -ENOMEM;
    }
    int rc = 0;
    struct stat st;
    if (stat(logs_g.path, &st) != 0) {
        rc = logs_make_parent_dirs(logs_g.path);
    }
    long size = 0;
    if (rc == 0) {
        *stream = logs_open_file(logs_g.path, &size);
        if (!*stream) {
            rc = -errno;
        }
    }
    if (rc != 0) {
        free(logs_g.path);
        logs_g.path = NULL;
        return rc;
    }
    atomic_store(&logs_g.written, size);
    return 0;
}

int log_open(const log_config* config) {
    if (!config) {
        return -EINVAL;
    }
    reset_state();
    logs_choose_file_group();

    FILE* stream = stdout;
    if (config->path) {
        int rc = open_path(config->path, &stream);
        if (rc != 0) {
            return rc;
        }
    } else {
        setvbuf(stream, NULL, _IONBF, 0);
    }
    atomic_store(&logs_g.stream, stream);

    logs_g.level_mask = config->level_mask == -1 ? LOG_DEFAULT_MASK : config->level_mask;
    logs_g.max_size = config->max_size < 0 ? 0 : config->max_size;
    logs_g.close_delay_us = config->close_delay_us < 0 ? 0 : config->close_delay_us;
    logs_g.backup_count = config->backup_count;
    logs_g.newline_before = config->newline_before;
    logs_g.fixed_timezone = config->fixed_timezone;
    logs_take_timezone(logs_g.tz);
    logs_g.pid = (int)getpid();
    return 0;
}

int log_close(void) {
    drop_stream();
    return 0;
}

int log_enabled(int level) {
    return level != 0 && (level & logs_g.level_mask) == level;
}

FILE* log_file(void) {
    return current_stream();
}

void log_account(long count) {
    FILE* f = atomic_load(&logs_g.stream);
    if (logs_g.max_size == 0 || !f || f == stdout || !logs_g.path) {
        return;
    }
    long total = atomic_fetch_add(&logs_g.written, count) + count;
    if (total < logs_g.max_size) {
        return;
    }
    int expected = 0;
    if (!atomic_compare_exchange_strong(&logs_g.rotating, &expected, 1)) {
        return;
    }
    logs_rotate();
}

/* Set when a line was cut short (a full disk): the next line first ends the
 * fragment, so it does not run on into the middle of it. */
static atomic_int g_cut_line;

long log_write(const char* data, size_t len) {
    logs_lock_writer();
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
    logs_unlock_writer();
    long written = n == len ? (long)n : 0;
    log_account(written);
    return written;
}
