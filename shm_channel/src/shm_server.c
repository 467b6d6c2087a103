/* The server endpoint's thread and start. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shm_endpoint_int.h"

/* Looks at an existing object of our name: 1 when its server died (the
 * robust server lock reports its owner dead) and no live client is attached,
 * so that a restarted server may take it over. An object whose server is
 * alive, or that is not a bound channel at all, is left alone. */
static int srv_object_abandoned(const char* name) {
    int fd = shm_open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0) return 0;
    struct stat st;
    int dead = 0;
    if (fstat(fd, &st) == 0 && (uint64_t)st.st_size >= sizeof(shm_membuf)) {
        shm_membuf* mb = mmap(NULL, sizeof *mb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mb != MAP_FAILED) {
            if (__atomic_load_n(&mb->magic, __ATOMIC_RELAXED) == SHM_MAGIC) {
                /* trylock, never a blocking lock: a live server holds this lock for
         * as long as it is bound. */
                int rc = pthread_mutex_trylock(&mb->srv_lock.mutex);
                if (rc == EOWNERDEAD) {
                    SHMI_NOTE_OWNER_DEAD_LOCK(&mb->srv_lock.mutex);
                    uint32_t f = shmi_mb_flags(mb);
                    int client_alive = (f & SHM_FLAG_CONNECTED) && shmi_lock_taken(&mb->cli_lock) &&
                                       !shmi_lock_owner_died(&mb->cli_lock);
                    dead = !client_alive;
                    pthread_mutex_consistent(&mb->srv_lock.mutex);
                    pthread_mutex_unlock(&mb->srv_lock.mutex);
                } else if (rc == 0) {
                    pthread_mutex_unlock(&mb->srv_lock.mutex);
                }
            }
            munmap(mb, sizeof *mb);
        }
    }
    close(fd);
    return dead;
}

/* Creates, sizes, maps and binds the object; on success the endpoint owns
 * the descriptor and the mapping. 0 or a negative code. */
static int srv_create(shm_endpoint* ep) {
    const shm_config* c = &ep->cfg;
    shm_membuf* mb = NULL;
    int fd = shmi_open_object(ep->name, O_CREAT | O_EXCL | O_RDWR, c->size);
    if (fd == -EEXIST && srv_object_abandoned(ep->name)) {
        /* Left behind by a server that was killed (no one else cleans up when
     * no host is attached). Unlinking leaves any old mapping intact; the
     * object is created afresh rather than reused, so nothing the dead
     * server or a third party left in it carries over. */
        shmi_log(SHM_KIND_INFO, "%s: the server of the existing object died, taking it over\n", ep->text);
        shm_unlink(ep->name);
        fd = shmi_open_object(ep->name, O_CREAT | O_EXCL | O_RDWR, c->size);
    }
    if (fd < 0) return fd;
    int rc = shmi_map(fd, c->size, &mb);
    if (rc != 0) {
        shmi_log(SHM_KIND_ERR, "%d: %s\n", -rc, shm_strerror(rc));
        close(fd);
        shm_unlink(ep->name);
        return rc;
    }
    rc = shmi_mb_bind(mb, c->size);
    if (rc != 0) {
        munmap(mb, c->size);
        close(fd);
        shm_unlink(ep->name);
        return rc;
    }
    ep->fd = fd;
    shmi_ep_set_mapping(ep, mb, c->size);
    return 0;
}

/* A client claims the channel, then initialises and takes its lock: the
 * two are microseconds apart. Returns the holder, or 0 when none appeared
 * within a few milliseconds (the claim was withdrawn, or the client is
 * slow; the listener then takes the first holder it sees). */
static int srv_await_client_lock(shm_membuf* mb) {
    for (int i = 0; i < 50; i++) {
        int owner = shmi_lock_owner(&mb->cli_lock);
        if (owner != 0 && !shmi_lock_owner_died(&mb->cli_lock)) return owner;
        if (!shmi_mb_is_connected(mb)) return 0;
        usleep(100);
    }
    return 0;
}

static void srv_relock(shm_endpoint* ep) {
    shm_membuf* mb = ep->mb;
    pthread_mutex_unlock(&mb->srv_lock.mutex);
    /* Let the client's listener, blocked on the server lock, take and release
   * it and so end. */
    usleep(1000);
    int rc = shmi_lock_timed(&mb->srv_lock.mutex, NULL);
    if (rc != 0) {
        /* Somebody alive keeps our own server lock: nothing in this object can
     * be trusted any more. */
        shmi_ep_note_result(ep, rc == -ETIMEDOUT ? rc : -EIO);
        return;
    }
    if (shmi_mb_flags(mb) & SHM_FLAG_CLI_HUP) {
        /* The client died: give the next one fresh rings, locks and events
     * rather than whatever the dead one left half done. Application threads
     * inside shm_write/shm_read hold the map lock for reading; the rings
     * are rebuilt only once they are out. */
        shmi_ep_set_mapping(ep, NULL, ep->map_size); /* waits for them, hides the rings */
        shmi_mb_unbind(mb);
        __atomic_store_n(&mb->flags, 0, __ATOMIC_RELEASE);
        rc = shmi_mb_bind(mb, ep->cfg.size);
        shmi_ep_set_mapping(ep, mb, ep->map_size);
        if (rc != 0) {
            shmi_log(SHM_KIND_ERR, "%d: %s\n", -rc, shm_strerror(rc));
            return;
        }
    }
    shmi_log(SHM_KIND_INFO, "hup mutex relocked\n");
}

/* A live peer broke the channel (held a lock past its deadline, or left the
 * indices in a state no sound peer writes). Its object cannot be repaired
 * in place while it keeps it mapped, so the server leaves that object (the
 * bound bit cleared: a sound client sees the server gone and reconnects by
 * name) and creates a fresh one under the same name. Returns 0 once serving
 * again, or -1 when stopped first. */
static int srv_replace_object(shm_endpoint* ep, int* connected, shm_endpoint** hup) {
    const shm_config* c = &ep->cfg;
    shmi_log(SHM_KIND_ERR,
             "%s: broken peer (lock held past its deadline or corrupt ring), "
             "dropping the connection\n",
             ep->text);
    shmi_hup_stop(*hup);
    *hup = NULL;
    shm_membuf* old = ep->mb;
    size_t size = ep->map_size;
    shmi_ep_set_mapping(ep, NULL, size);
    __atomic_fetch_and(&old->flags, ~SHM_FLAG_BOUND, __ATOMIC_ACQ_REL);
    pthread_mutex_unlock(&old->srv_lock.mutex);
    munmap(old, size);
    close(ep->fd);
    ep->fd = -1;
    shm_unlink(ep->name);
    if (*connected && c->on_disconnected != NULL) c->on_disconnected(c->user_data, ep);
    *connected = 0;
    while (shmi_ep_running(ep)) {
        if (srv_create(ep) == 0) {
            shmi_log(SHM_KIND_INFO, "%s: serving a fresh object\n", ep->text);
            return 0;
        }
        shmi_ep_pause(ep);
    }
    return -1;
}

/* Whether a client is connected now, by the flags word and the listener. */
static int srv_client_present(shm_endpoint* ep, uint32_t f, int connected) {
    /* A hang-up not yet handled counts as gone even if bit 1 was claimed
   * again meanwhile: the rings still hold the dead client's state. */
    int now = (f & SHM_FLAG_CONNECTED) && !(f & SHM_FLAG_CLI_HUP);
    /* The listener saw the client go: that session is over even when a new
   * client has already claimed the channel (the bit then looks unchanged).
   * The new one is taken on the next pass. */
    if (connected && __atomic_load_n(&ep->peer_left, __ATOMIC_ACQUIRE)) now = 0;
    return now;
}

/* A client arrived: watch it, then greet it. */
static void srv_client_arrived(shm_endpoint* ep, shm_endpoint** hup) {
    const shm_config* c = &ep->cfg;
    __atomic_store_n(&ep->peer_left, 0, __ATOMIC_RELEASE);
    /* Watch before greeting, and watch this very client: the listener is
   * told which thread holds the client lock now, so that a client that
   * leaves at once and a successor that takes the lock before the listener
   * runs are still two sessions. */
    *hup = shmi_hup_start(ep, srv_await_client_lock(ep->mb));
    if (c->on_connected != NULL) c->on_connected(c->user_data, ep);
}

/* The client left: stop watching it, get the object ready for the next one
 * and tell the application. 0 when still bound, -1 when the object could
 * not be bound again (the loop ends). */
static int srv_client_left(shm_endpoint* ep, shm_endpoint** hup) {
    const shm_config* c = &ep->cfg;
    shmi_hup_stop(*hup);
    *hup = NULL;
    __atomic_store_n(&ep->peer_left, 0, __ATOMIC_RELEASE);
    srv_relock(ep);
    int bound = shmi_mb_is_bound(ep->mb);
    if (c->on_disconnected != NULL) c->on_disconnected(c->user_data, ep);
    return bound ? 0 : -1;
}

/* Ends serving: unbinds (when still bound), unmaps and unlinks. */
static void srv_finish(shm_endpoint* ep, shm_endpoint* hup, int bound) {
    if (ep->mb == NULL) {
        shmi_hup_stop(hup);
        return;
    }
    shm_membuf* mb = ep->mb;
    shmi_log(SHM_KIND_DBG, "shm_srv finished cicle, connected = %d\n", shmi_mb_is_connected(mb) ? 1 : 0);
    /* No application call may use the rings while they are torn down. */
    ep->hidden_mb = mb;
    shmi_ep_set_mapping(ep, NULL, ep->map_size);
    /* The listener reads the control block: stop it before unbinding. */
    shmi_hup_stop(hup);
    if (bound) shmi_mb_unbind(mb);
    shmi_ep_release_mapping(ep);
    shm_unlink(ep->name);
}

static void* srv_thread(void* arg) {
    shm_endpoint* ep = arg;
    uint8_t* buf = malloc(ep->cfg.chunk);
    if (buf == NULL || srv_create(ep) != 0) goto out;
    __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
    ep->endpoint_notify(ep);

    int connected = 0;
    int bound = 1;
    shm_endpoint* hup = NULL;
    while (shmi_ep_running(ep)) {
        if (__atomic_load_n(&ep->broken, __ATOMIC_ACQUIRE)) {
            if (srv_replace_object(ep, &connected, &hup) != 0) {
                bound = 0;
                break;
            }
            continue;
        }
        shm_membuf* mb = ep->mb;
        uint32_t f = shmi_mb_flags(mb);
        int now = srv_client_present(ep, f, connected);
        if (now && !connected) {
            srv_client_arrived(ep, &hup);
        } else if (!now && connected && srv_client_left(ep, &hup) != 0) {
            bound = 0;
            break;
        }
        connected = now;
        uint64_t count = shmi_rb_unread(mb, 1);
        if (count == 0) {
            shmi_ep_idle_wait(ep, 1, f);
            continue;
        }
        shmi_ep_deliver(ep, 1, count, buf);
    }
    srv_finish(ep, hup, bound);
    free(buf);
    shmi_ep_thread_end(ep);
    return NULL;

out:
    free(buf);
    /* The start is waiting: it sees running clear and frees the endpoint. */
    ep->endpoint_notify(ep);
    return NULL;
}

shm_endpoint* shm_srv_start(const shm_config* cfg) {
    if (cfg == NULL) return NULL;
    shm_endpoint* ep = shmi_ep_create(SHMI_ROLE_SERVER, cfg, NULL);
    if (ep == NULL) {
        shmi_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", ENOMEM, strerror(ENOMEM));
        return NULL;
    }
    int rc = pthread_create(&ep->thread, NULL, srv_thread, ep);
    if (rc != 0) {
        shmi_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", rc, strerror(rc));
        shmi_ep_free(ep);
        return NULL;
    }
    ep->endpoint_wait(ep);
    if (shmi_ep_running(ep)) {
        pthread_detach(ep->thread);
        return ep;
    }
    pthread_join(ep->thread, NULL);
    shmi_ep_free(ep);
    return NULL;
}
