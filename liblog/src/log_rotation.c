/* The log file: creating it with its mode and owner, and rotating it by size
 * into numbered backups.
 *
 * Writers never block on a rotation: the writer that crosses the size limit
 * renames the file to "<path>.0", opens a fresh one and publishes it; a
 * short-lived thread closes the old stream a little later and shifts the
 * numbered backups. A read-write lock around each write keeps the old stream
 * alive until the last writer that picked it up has finished its line, so a
 * writer that was descheduled across the close delay still lands its line
 * instead of writing into a closed stream. */
#define _GNU_SOURCE
#include "log_state.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

void logs_lock_writer(void) {
    pthread_once(&g_lock_once, init_stream_lock);
    pthread_rwlock_rdlock(&g_stream_lock);
}

void logs_unlock_writer(void) {
    pthread_rwlock_unlock(&g_stream_lock);
}

void logs_wait_rotation_done(void) {
    while (atomic_load(&logs_g.rotating)) {
        usleep(1000);
    }
}

void logs_choose_file_group(void) {
    logs_g.file_group = 0;
    struct group grp;
    struct group* found = NULL;
    char buf[4096];
    if (getgrnam_r("adm", &grp, buf, sizeof buf, &found) == 0 && found) {
        logs_g.file_group = found->gr_gid;
    }
}

int logs_make_parent_dirs(const char* path) {
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

/* Gives an open log file its mode and, when we may, its owner, on the
 * descriptor: the name may have been replaced since it was opened, and an
 * older file may carry a wider mode from before. Only regular files: a log
 * sent to /dev/null or a pipe must leave that node as it is. 0 or -errno. */
static int apply_file_mode(int fd, const struct stat* st) {
    if (!S_ISREG(st->st_mode)) {
        return 0;
    }
    if ((st->st_mode & 07777) != LOGS_FILE_MODE && fchmod(fd, LOGS_FILE_MODE) != 0) {
        return -errno;
    }
    /* Only root can give a file away; anyone else keeps what they created. */
    if (geteuid() == 0 && (st->st_uid != 0 || st->st_gid != logs_g.file_group) &&
        fchown(fd, 0, logs_g.file_group) != 0) {
        return -errno;
    }
    return 0;
}

FILE* logs_open_file(const char* path, long* size) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, LOGS_FILE_MODE);
    if (fd < 0) {
        return NULL;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return NULL;
    }
    /* A file system without modes or owners refuses; logging on matters
     * more than the mode of the file. */
    (void)apply_file_mode(fd, &st);
    FILE* f = fdopen(fd, "a");
    if (!f) {
        int err = errno;
        close(fd);
        errno = err;
        return NULL;
    }
    setvbuf(f, NULL, _IONBF, 0);
    if (size) {
        *size = S_ISREG(st.st_mode) ? (long)st.st_size : 0;
    }
    return f;
}

struct rotation {
    FILE* old;
    int32_t delay_us;
};

static void shift_backups(void) {
    size_t len = strlen(logs_g.path) + 16;
    char* from = malloc(len);
    char* to = malloc(len);
    if (from && to) {
        for (int n = logs_g.backup_count; n >= 1; --n) {
            snprintf(from, len, "%s.%d", logs_g.path, n - 1);
            snprintf(to, len, "%s.%d", logs_g.path, n);
            if (n == logs_g.backup_count) {
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
    pthread_once(&g_lock_once, init_stream_lock);
    pthread_rwlock_wrlock(&g_stream_lock);
    fclose(r->old);
    pthread_rwlock_unlock(&g_stream_lock);
    free(r);
    shift_backups();
    atomic_store(&logs_g.rotating, 0);
}

static void* rotation_thread(void* arg) {
    finish_rotation(arg);
    return NULL;
}

void logs_rotate(void) {
    size_t len = strlen(logs_g.path) + 3;
    char* zero = malloc(len);
    struct rotation* r = malloc(sizeof *r);
    if (!zero || !r) {
        goto abandon;
    }
    snprintf(zero, len, "%s.0", logs_g.path);
    if (rename(logs_g.path, zero) != 0) {
        goto abandon;
    }
    FILE* fresh = logs_open_file(logs_g.path, NULL);
    if (!fresh) {
        /* Put the file back, or every later line would go to ".0" and the
         * live name would never exist again to be rotated. */
        rename(zero, logs_g.path);
        goto abandon;
    }
    r->old = atomic_exchange(&logs_g.stream, fresh);
    r->delay_us = logs_g.close_delay_us;
    atomic_store(&logs_g.written, 0);
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
    atomic_store(&logs_g.rotating, 0);
}
