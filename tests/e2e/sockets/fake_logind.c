/* Test stand-in for logind, preloaded (LD_PRELOAD) into the mount service in
 * an isolated namespace so its seat check can be driven without the
 * machine's own logind. Answers the sd-login calls the service makes from a
 * state file the test writes (FAKE_LOGIND_STATE), one session per line:
 *
 *     <session> <uid> <seat or -> <active 0|1>
 *
 * A process belongs to the first session of its real uid (read from
 * /proc/<pid>/status), as a process started inside a user's login would. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdint.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

struct fake_session {
    char id[64];
    unsigned uid;
    char seat[64];
    int active;
};

static int fake_load(struct fake_session* out, int max) {
    const char* path = getenv("FAKE_LOGIND_STATE");
    FILE* f = fopen(path ? path : "/run/fake-logind/sessions", "re");
    int n = 0;
    char line[256];
    if (!f) return 0;
    while (n < max && fgets(line, sizeof line, f)) {
        struct fake_session s;
        if (line[0] == '#') continue;
        if (sscanf(line, "%63s %u %63s %d", s.id, &s.uid, s.seat, &s.active) == 4) out[n++] = s;
    }
    fclose(f);
    return n;
}

static const struct fake_session* fake_find(const struct fake_session* all, int n, const char* id) {
    for (int i = 0; i < n; ++i)
        if (strcmp(all[i].id, id) == 0) return &all[i];
    return NULL;
}

static int fake_uid_of(pid_t pid, unsigned* uid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE* f = fopen(path, "re");
    if (!f) return -ESRCH;
    int found = 0;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "Uid: %u", uid) == 1) {
            found = 1;
            break;
        }
    fclose(f);
    return found ? 0 : -ESRCH;
}

int sd_pid_get_session(pid_t pid, char** session) {
    struct fake_session all[32];
    int n = fake_load(all, 32);
    unsigned uid;
    if (fake_uid_of(pid, &uid) < 0) return -ESRCH;
    for (int i = 0; i < n; ++i)
        if (all[i].uid == uid) {
            *session = strdup(all[i].id);
            return *session ? 0 : -ENOMEM;
        }
    return -ENODATA;
}

int sd_session_is_active(const char* session) {
    struct fake_session all[32];
    const struct fake_session* s = fake_find(all, fake_load(all, 32), session);
    return s ? (s->active ? 1 : 0) : -ENXIO;
}

int sd_session_get_seat(const char* session, char** seat) {
    struct fake_session all[32];
    const struct fake_session* s = fake_find(all, fake_load(all, 32), session);
    if (!s) return -ENXIO;
    if (strcmp(s->seat, "-") == 0) return -ENODATA;
    *seat = strdup(s->seat);
    return *seat ? 0 : -ENOMEM;
}

int sd_session_get_uid(const char* session, uid_t* uid) {
    struct fake_session all[32];
    const struct fake_session* s = fake_find(all, fake_load(all, 32), session);
    if (!s) return -ENXIO;
    *uid = (uid_t)s->uid;
    return 0;
}

int sd_get_seats(char*** seats) {
    struct fake_session all[32];
    int n = fake_load(all, 32), k = 0;
    char** v = calloc((size_t)n + 1, sizeof *v);
    if (!v) return -ENOMEM;
    for (int i = 0; i < n; ++i)
        if (strcmp(all[i].seat, "-") != 0) v[k++] = strdup(all[i].seat);
    *seats = v;
    return k;
}

int sd_seat_get_active(const char* seat, char** session, uid_t* uid) {
    struct fake_session all[32];
    int n = fake_load(all, 32);
    for (int i = 0; i < n; ++i)
        if (strcmp(all[i].seat, seat) == 0 && all[i].active) {
            if (session) *session = strdup(all[i].id);
            if (uid) *uid = (uid_t)all[i].uid;
            return 0;
        }
    return -ENODATA;
}

/* A user's state as logind gives it: "active" with an active session,
 * "online" with any session, "offline" with none. */
int sd_uid_get_state(uid_t uid, char** state) {
    struct fake_session all[32];
    int n = fake_load(all, 32);
    int any = 0, active = 0;
    for (int i = 0; i < n; ++i)
        if (all[i].uid == (unsigned)uid) {
            any = 1;
            active |= all[i].active;
        }
    *state = strdup(active ? "active" : any ? "online" : "offline");
    return *state ? 0 : -ENOMEM;
}

/* The login monitor: an inotify descriptor on the state file's directory,
 * readable whenever the test rewrites the file. The handle is fd + 1. */
typedef struct sd_login_monitor sd_login_monitor;

int sd_login_monitor_new(const char* category, sd_login_monitor** ret) {
    (void)category;
    const char* path = getenv("FAKE_LOGIND_STATE");
    char dir[512];
    snprintf(dir, sizeof dir, "%s", path ? path : "/run/fake-logind/sessions");
    char* slash = strrchr(dir, '/');
    if (slash && slash != dir) *slash = '\0';
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -errno;
    if (inotify_add_watch(fd, dir, IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0) {
        int e = errno;
        close(fd);
        return -e;
    }
    *ret = (sd_login_monitor*)(intptr_t)(fd + 1);
    return 0;
}

sd_login_monitor* sd_login_monitor_unref(sd_login_monitor* m) {
    if (m) close((int)(intptr_t)m - 1);
    return NULL;
}

int sd_login_monitor_get_fd(sd_login_monitor* m) {
    return m ? (int)(intptr_t)m - 1 : -EINVAL;
}

int sd_login_monitor_flush(sd_login_monitor* m) {
    char buf[4096];
    if (!m) return -EINVAL;
    while (read((int)(intptr_t)m - 1, buf, sizeof buf) > 0) {}
    return 0;
}
