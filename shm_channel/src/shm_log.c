/* The channel library's own small logger: standard output with a dated
 * prefix, or an application handler with the application's level numbers. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "shm_internal.h"

static shm_log_handler_fn g_handler;
static shm_log_handler_data_fn g_data_handler;
static void* g_user_data;
static int g_levels[3] = {SHM_LOG_ERR, SHM_LOG_INFO, SHM_LOG_DBG};
static int g_debug;
/* Guards the handler and its levels so that a message never sees a handler
 * with another handler's level numbers. */
static pthread_mutex_t g_log_mutex = PTHREAD_MUTEX_INITIALIZER;

static pthread_once_t g_zone_once = PTHREAD_ONCE_INIT;
static char g_zone[6] = "+0000";

static void take_zone(void) {
    time_t now = time(NULL);
    struct tm tm;
    char buf[16];
    if (localtime_r(&now, &tm) != NULL && strftime(buf, sizeof buf, "%z", &tm) > 0) {
        /* "+hhmm" fits the field; anything longer keeps what fits. */
        memcpy(g_zone, buf, sizeof g_zone - 1);
        g_zone[sizeof g_zone - 1] = '\0';
    }
}

void shm_log_set_handler(shm_log_handler_fn handler, int err_level, int info_level, int dbg_level) {
    pthread_mutex_lock(&g_log_mutex);
    g_handler = handler;
    g_data_handler = NULL;
    g_user_data = NULL;
    g_levels[SHM_KIND_ERR] = err_level;
    g_levels[SHM_KIND_INFO] = info_level;
    g_levels[SHM_KIND_DBG] = dbg_level;
    pthread_mutex_unlock(&g_log_mutex);
}

void shm_log_set_handler_data(shm_log_handler_data_fn handler, void* user_data, int err_level, int info_level,
                              int dbg_level) {
    pthread_mutex_lock(&g_log_mutex);
    g_handler = NULL;
    g_data_handler = handler;
    g_user_data = handler != NULL ? user_data : NULL;
    g_levels[SHM_KIND_ERR] = err_level;
    g_levels[SHM_KIND_INFO] = info_level;
    g_levels[SHM_KIND_DBG] = dbg_level;
    pthread_mutex_unlock(&g_log_mutex);
}

void shm_log_set_debug(int enabled) {
    __atomic_store_n(&g_debug, enabled ? 1 : 0, __ATOMIC_RELAXED);
}

int shmi_log_debug_enabled(void) {
    return __atomic_load_n(&g_debug, __ATOMIC_RELAXED);
}

static const char* kind_label(int kind) {
    switch (kind) {
        case SHM_KIND_ERR:
            return "ERR";
        case SHM_KIND_INFO:
            return "INFO";
        case SHM_KIND_DBG:
            return "DBG";
        default:
            return "   ";
    }
}

static void log_to_stdout(int kind, const char* fmt, va_list ap) {
    char line[1025];
    struct timeval tv;
    struct tm tm;
    memset(line, 0, sizeof line);
    pthread_once(&g_zone_once, take_zone);
    gettimeofday(&tv, NULL);
    localtime_r(&tv.tv_sec, &tm);
    int n = snprintf(line, sizeof line - 1, "[%04d-%02d-%02d %02d:%02d:%02d.%03ld %s] [%s] ", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (long)(tv.tv_usec / 1000), g_zone,
                     kind_label(kind));
    if (n < 0) return;
    size_t used = strlen(line);
    size_t room = sizeof line - 1 - used;
    size_t flen = strlen(fmt);
    if (flen > room) {
        /* A conversion cut in half would read arguments that are not there;
     * drop a trailing partial directive. */
        flen = room;
        size_t i = flen;
        while (i > 0 && fmt[i - 1] != '%' && fmt[i - 1] != ' ')
            i--;
        if (i > 0 && fmt[i - 1] == '%') flen = i - 1;
    }
    memcpy(line + used, fmt, flen);
    line[used + flen] = '\0';
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vfprintf(stdout, line, ap);
#pragma GCC diagnostic pop
    fflush(stdout);
}

void shmi_log(int kind, const char* fmt, ...) {
    if (kind == SHM_KIND_DBG && !shmi_log_debug_enabled()) return;
    pthread_mutex_lock(&g_log_mutex);
    shm_log_handler_fn handler = g_handler;
    shm_log_handler_data_fn data_handler = g_data_handler;
    void* user_data = g_user_data;
    int level = (kind >= 0 && kind <= 2) ? g_levels[kind] : kind;
    pthread_mutex_unlock(&g_log_mutex);
    va_list ap;
    va_start(ap, fmt);
    if (data_handler != NULL)
        data_handler(user_data, level, fmt, ap);
    else if (handler != NULL)
        handler(level, fmt, ap);
    else
        log_to_stdout(kind, fmt, ap);
    va_end(ap);
}
