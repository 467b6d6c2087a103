/* The client endpoint's thread and start. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shm_endpoint_int.h"

/* Tears a live connection down in the order the server expects. */
static void cli_teardown(shm_endpoint* ep, shm_endpoint** hup, int signal_srv) {
    shm_membuf* mb = ep->mb;
    shmi_mb_disconnect(mb);
    if (signal_srv && !shmi_mb_reader_dead(mb, 1)) shmi_event_signal(&mb->rb[1].req);
    shmi_hup_stop(*hup);
    *hup = NULL;
    shmi_mb_destroy_client_lock(mb);
    shmi_ep_release_mapping(ep);
}

/* Positive, so that a helper can return them negated beside a descriptor. */
enum { CLI_RETRY = 1, CLI_CONNECTED, CLI_FATAL };

/* Opens the object and decides whom it belongs to. The descriptor (>= 0)
 * with its status in *st, or CLI_RETRY / CLI_FATAL negated. */
static int cli_open_checked(shm_endpoint* ep, struct stat* st) {
    const shm_config* c = &ep->cfg;
    int fd = shmi_open_object(ep->name, O_RDWR, 0);
    if (fd == -ENOENT) return -CLI_RETRY;
    if (fd < 0) return -CLI_FATAL;
    if (fstat(fd, st) != 0) {
        close(fd);
        return -CLI_FATAL;
    }
    snprintf(ep->text, sizeof ep->text, "%s %s", "shm_cli", ep->name);
    /* Whom we are about to talk to is decided on the descriptor that will be
   * mapped, so a name swapped after the check cannot slip another object
   * in. A refusal is treated like a missing object: logged (once per
   * object), retried after the pause. */
    if (c->on_owner != NULL && c->on_owner(c->user_data, st->st_uid) < 0) {
        if (!ep->refused_valid || ep->refused_ino != st->st_ino || ep->refused_uid != st->st_uid)
            shmi_log(SHM_KIND_ERR, "%s: object owned by uid %u refused, waiting for another\n", ep->text,
                     (unsigned)st->st_uid);
        ep->refused_valid = 1;
        ep->refused_ino = st->st_ino;
        ep->refused_uid = st->st_uid;
        close(fd);
        return -CLI_RETRY;
    }
    ep->refused_valid = 0;
    return fd;
}

/* Maps the object and connects to it. 0 with the mapping in *mb and
 * *map_len; or a connect code, the mapping (if one was made) left for the
 * caller to release; or, when mapping itself failed, *fatal set. */
static int cli_map_connect(shm_endpoint* ep, int fd, const struct stat* st, shm_membuf** mb, size_t* map_len,
                           int* fatal) {
    const shm_config* c = &ep->cfg;
    *mb = NULL;
    *map_len = 0;
    *fatal = 0;
    if ((uint64_t)st->st_size < SHM_MIN_SIZE && c->size >= SHM_MIN_SIZE) {
        /* Created but not sized yet: touching a mapping of it would fault. */
        return SHM_ERR_NOT_READY;
    }
    *map_len = (uint64_t)st->st_size < c->size ? (size_t)st->st_size : c->size;
    int rc = shmi_map(fd, *map_len, mb);
    if (rc != 0) {
        shmi_log(SHM_KIND_ERR, "error mapping shm_cli (%d)\n", -rc);
        *fatal = 1;
        return rc;
    }
    if (*map_len < c->size) return shmi_mb_is_bound(*mb) ? SHM_ERR_BAD_SIZE : SHM_ERR_NOT_READY;
    return shmi_mb_connect(*mb, c->size);
}

/* A server may be setting an unbound object up right now: only an object
 * whose server is known dead, or the same object still unbound after a
 * pause, is stale, and its name is unlinked. */
static void cli_note_not_ready(shm_endpoint* ep, const struct stat* st, int server_dead) {
    int same = ep->stale_valid && ep->stale_dev == st->st_dev && ep->stale_ino == st->st_ino;
    if (server_dead || same) {
        shm_unlink(ep->name);
        ep->stale_valid = 0;
    } else {
        ep->stale_valid = 1;
        ep->stale_dev = st->st_dev;
        ep->stale_ino = st->st_ino;
    }
}

/* What a failed connect means: retry (logged at debug level, or once per
 * foreign object) or give up. */
static int cli_failed_connect(shm_endpoint* ep, const struct stat* st, int rc) {
    if (rc == SHM_ERR_NOT_READY || rc == SHM_ERR_ALREADY_CONNECTED) {
        shmi_log(SHM_KIND_DBG, "error connecting (%d): %s\n", -rc, shm_strerror(rc));
        return CLI_RETRY;
    }
    if (rc == SHM_ERR_BAD_MAGIC || rc == SHM_ERR_BAD_SIZE) {
        /* Not a channel we can use, but whoever made it may replace it with a
     * sound one (or the host agent may, once it is removed): keep looking
     * instead of ending the client for good, and say so once per object. */
        if (!ep->foreign_valid || ep->foreign_dev != st->st_dev || ep->foreign_ino != st->st_ino)
            shmi_log(SHM_KIND_ERR, "error connecting (%d): %s\n", -rc, shm_strerror(rc));
        ep->foreign_valid = 1;
        ep->foreign_dev = st->st_dev;
        ep->foreign_ino = st->st_ino;
        return CLI_RETRY;
    }
    shmi_log(SHM_KIND_ERR, "error connecting (%d): %s\n", -rc, shm_strerror(rc));
    return CLI_FATAL;
}

/* One connect attempt: open, check, map, connect. */
static int cli_attempt(shm_endpoint* ep) {
    struct stat st;
    int fd = cli_open_checked(ep, &st);
    if (fd < 0) return -fd;
    shm_membuf* mb;
    size_t map_len;
    int fatal;
    int rc = cli_map_connect(ep, fd, &st, &mb, &map_len, &fatal);
    if (fatal) {
        close(fd);
        return CLI_FATAL;
    }
    if (rc == 0) {
        ep->fd = fd;
        ep->stale_valid = 0;
        shmi_ep_set_mapping(ep, mb, map_len);
        return CLI_CONNECTED;
    }
    int server_dead = mb != NULL && (shmi_mb_flags(mb) & SHM_FLAG_SRV_HUP) != 0;
    if (mb != NULL) munmap(mb, map_len);
    close(fd);
    if (rc == SHM_ERR_NOT_READY) cli_note_not_ready(ep, &st, server_dead);
    return cli_failed_connect(ep, &st, rc);
}

static void* cli_thread(void* arg) {
    shm_endpoint* ep = arg;
    const shm_config* c = &ep->cfg;
    uint8_t* buf = malloc(c->chunk);
    shm_endpoint* hup = NULL;
    if (buf == NULL) goto fatal;

    while (shmi_ep_running(ep)) {
        shmi_log(SHM_KIND_INFO, "%s trying to connect, timeout %.3f sec\n", ep->text,
                 (double)c->timeout_us / 1000000.0);
        int state = CLI_RETRY;
        while (shmi_ep_running(ep)) {
            state = cli_attempt(ep);
            if (state != CLI_RETRY) break;
            shmi_ep_pause(ep);
        }
        if (state == CLI_FATAL) goto fatal;
        if (state != CLI_CONNECTED) break; /* stopped while retrying */

        shm_membuf* mb = ep->mb;
        if (c->on_connected != NULL && c->on_connected(c->user_data, ep) < 0) {
            shmi_log(SHM_KIND_INFO, "connection rejected by user\n");
            shmi_mb_disconnect(mb);
            shmi_mb_destroy_client_lock(mb);
            shmi_ep_release_mapping(ep);
            goto fatal;
        }
        __atomic_store_n(&ep->peer_left, 0, __ATOMIC_RELEASE);
        hup = shmi_hup_start(ep, shmi_lock_owner(&mb->srv_lock));
        if (hup == NULL) shmi_log(SHM_KIND_ERR, "%s hup listener not started", ep->text);
        shmi_event_signal(&mb->rb[1].req);

        int server_gone = 0;
        while (shmi_ep_running(ep)) {
            if (__atomic_load_n(&ep->broken, __ATOMIC_ACQUIRE)) {
                /* A live server broke the channel: leave as if it had gone, and
         * find the object anew after the pause. */
                shmi_log(SHM_KIND_ERR,
                         "%s: broken peer (lock held past its deadline or corrupt "
                         "ring), dropping the connection\n",
                         ep->text);
                cli_teardown(ep, &hup, 0);
                if (c->on_disconnected != NULL) c->on_disconnected(c->user_data, ep);
                server_gone = 1;
                break;
            }
            uint32_t f = shmi_mb_flags(mb);
            if (!(f & SHM_FLAG_BOUND) || (f & SHM_FLAG_SRV_HUP) || __atomic_load_n(&ep->peer_left, __ATOMIC_ACQUIRE)) {
                cli_teardown(ep, &hup, 0);
                if (c->on_disconnected != NULL) c->on_disconnected(c->user_data, ep);
                server_gone = 1;
                break;
            }
            uint64_t count = shmi_rb_unread(mb, 0);
            if (count == 0) {
                shmi_ep_idle_wait(ep, 0, f);
                continue;
            }
            shmi_ep_deliver(ep, 0, count, buf);
        }
        if (server_gone) {
            shmi_ep_pause(ep);
            continue;
        }
        /* Stopped while connected. */
        if (c->on_disconnected != NULL) c->on_disconnected(c->user_data, ep);
        cli_teardown(ep, &hup, 1);
    }
    free(buf);
    shmi_log(SHM_KIND_INFO, "%s stopped as interrupted\n", ep->text);
    shmi_ep_thread_end(ep);
    return NULL;

fatal:
    free(buf);
    shmi_ep_thread_end(ep);
    return NULL;
}

shm_endpoint* shm_cli_start(const shm_config* cfg) {
    if (cfg == NULL) return NULL;
    shm_endpoint* ep = shmi_ep_create(SHMI_ROLE_CLIENT, cfg, NULL);
    if (ep == NULL) {
        shmi_log(SHM_KIND_ERR, "error starting shm_cli (%d): %s", ENOMEM, strerror(ENOMEM));
        return NULL;
    }
    /* Running before the thread exists, so that an immediate shm_stop waits
   * for the thread instead of freeing the endpoint under it. */
    __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
    int rc = pthread_create(&ep->thread, NULL, cli_thread, ep);
    if (rc != 0) {
        shmi_log(SHM_KIND_ERR, "error starting shm_cli (%d): %s", rc, strerror(rc));
        shmi_ep_free(ep);
        return NULL;
    }
    pthread_detach(ep->thread);
    return ep;
}
