/* The state the parts of logs_cli share: one log per process.
 *
 * Internal to liblog. Every name here carries the logs_ prefix and hidden
 * visibility so that nothing a program links beside the library can collide
 * with it or reach into it. */
#ifndef LIBLOG_LOG_STATE_H
#define LIBLOG_LOG_STATE_H

#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#define LOGS_INTERNAL __attribute__((visibility("hidden")))

struct logs_state {
    _Atomic(FILE*) stream; /* NULL while closed; stdout when no path */
    char* path;            /* owned copy of log_config.path, or NULL */
    int32_t level_mask;
    int32_t max_size;
    int32_t close_delay_us;
    int32_t backup_count;
    int32_t newline_before;
    int32_t fixed_timezone;
    atomic_long written; /* bytes in the current file */
    atomic_int rotating; /* one rotation at a time */
    char tz[6];          /* "+hhmm" taken at open */
    int pid;
    gid_t file_group; /* group of every log file the library creates */
};

LOGS_INTERNAL extern struct logs_state logs_g;

/* log_line.c: the fixed header of a line. */
LOGS_INTERNAL void logs_take_timezone(char out[6]);

/* log_rotation.c: the file, its mode and its rotation. */

/* Mode of every log file, the live one and each rotated one: the log may
 * carry user and host names, so only root and the log readers' group (adm)
 * may read it. */
#define LOGS_FILE_MODE 0640

/* Takes the group that log files are given ("adm" where it exists, else 0);
 * looked up once at open so a rotation does no user-database lookup. */
LOGS_INTERNAL void logs_choose_file_group(void);
/* Creates the missing parent directories of `path`: 0 or a negative errno. */
LOGS_INTERNAL int logs_make_parent_dirs(const char* path);
/* Opens `path` for appending, unbuffered, with the log file's mode and
 * owner applied on the descriptor; *size gets its current size. NULL with
 * errno set on failure. */
LOGS_INTERNAL FILE* logs_open_file(const char* path, long* size);
/* Moves the live file aside as "<path>.0" and continues in a fresh one; a
 * short-lived thread closes the old stream later and shifts the backups.
 * Called only by the writer that set the rotating mark; clears it when the
 * rotation is abandoned or done. */
LOGS_INTERNAL void logs_rotate(void);
/* Held shared by a writer for the whole of one line, so the stream it took
 * stays open until the line is written. */
LOGS_INTERNAL void logs_lock_writer(void);
LOGS_INTERNAL void logs_unlock_writer(void);
/* Waits until no rotation is running (open and close reset the state). */
LOGS_INTERNAL void logs_wait_rotation_done(void);

#endif
