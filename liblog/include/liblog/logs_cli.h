/* logs_cli: levelled log lines with a fixed header, written to a file that
 * rotates by size into numbered backups (path.1, path.2, ...), or to stdout.
 * The live file and every backup are mode 0640, owned by root and the group
 * "adm" (root where there is no such group) when the process runs as root.
 *
 * A call site formats the header with log_header() into a 100-byte buffer,
 * prints header and text to log_file() in one stdio call, and passes the byte
 * count to log_account(), which rotates when the size limit is reached. */
#ifndef LIBLOG_LOGS_CLI_H
#define LIBLOG_LOGS_CLI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Level values: one bit each. */
enum {
    LOG_LVL_CRITICAL = 1,
    LOG_LVL_ERROR = 2,
    LOG_LVL_WARNING = 4,
    LOG_LVL_INFO8 = 8,
    LOG_LVL_INFO = 16,
    LOG_LVL_DEBUG = 1024,
    LOG_LVL_INFO2048 = 2048,
};

#define LOG_DEFAULT_MASK 23
#define LOG_HEADER_SIZE 100

typedef struct log_config {
    /* NULL: standard output. log_open copies the string: the caller may free
     * or reuse it as soon as log_open returns. */
    const char* path;
    int32_t level_mask;     /* -1 means LOG_DEFAULT_MASK */
    int32_t max_size;       /* bytes; <= 0 never rotates */
    int32_t close_delay_us; /* rotated-out file stays open this long; < 0 is 0 */
    int32_t backup_count;
    int32_t newline_before; /* non-zero: each header starts with '\n' */
    int32_t fixed_timezone; /* non-zero: zone offset taken once at open */
} log_config;

void log_config_defaults(log_config* config);
/* Opens the one log of the process, closing any log open before; `config`
 * is read during the call only. 0, or a negative errno. */
int log_open(const log_config* config);
/* Closes the file (not stdout) and forgets the path; always 0. */
int log_close(void);
int log_enabled(int level);
/* Writes the header for `level` into buffer; returns its length, 0 on error. */
int log_header(char* buffer, size_t size, int level);
FILE* log_file(void);
void log_account(long count);
/* Writes one whole line to the current stream in a single stdio call and
 * accounts for it (rotating when due). Safe against a concurrent rotation:
 * the stream a line goes to stays open until the line is written. Returns
 * the bytes written, 0 on failure. Prefer this to log_file()+log_account(). */
long log_write(const char* data, size_t len);
/* The printed name of a level ("ERROR", "INFO", ... "UNKNOWN"). */
const char* log_level_name(int level);

#ifdef __cplusplus
}
#endif

#endif
