/* The hang-up listener: a thread blocked on the peer's robust lock. */

#define _GNU_SOURCE
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "shm_endpoint_int.h"

/* Tells the parent that its peer has gone (left normally, died, or was
 * replaced by another holder of its lock) and wakes the parent's thread,
 * which may be waiting for data on the ring it reads. A departure is told
 * as an event, not left to be inferred from the flags: a client that leaves
 * and a new one that claims the channel between two looks of the parent
 * leave the connected bit as it was, and that session change must not be
 * missed (the new peer would never get its on_connected). */
static void tell_parent(shm_endpoint* ep, shm_membuf* mb) {
    shm_endpoint* parent = ep->parent;
    __atomic_store_n(&parent->peer_left, 1, __ATOMIC_SEQ_CST);
    int ring = shmi_ep_ring(parent, 0);
    if (!shmi_mb_side_dead(mb, ring, 1)) shmi_event_signal(&mb->rb[ring].req);
}

/* The longest the listener sleeps on the peer's lock without looking at it:
 * a release, a death and a stop all wake it at once, so this only bounds
 * what an unforeseen change of the lock word without a wake would cost.
 * Long, because a connected, idle listener should not wake at all. */
#define SHMI_HUP_BACKSTOP_US 300000000u

/* The lock a listener watches: the peer's. */
static shm_lock* hup_watched(shm_endpoint* ep) {
    return ep->parent->role == SHMI_ROLE_SERVER ? &ep->mb->cli_lock : &ep->mb->srv_lock;
}

static void* hup_thread(void* arg) {
    shm_endpoint* ep = arg;
    shm_membuf* mb = ep->mb;
    int watch_client = ep->parent->role == SHMI_ROLE_SERVER;
    shm_lock* watched = hup_watched(ep);
    uint32_t peer_bit = watch_client ? SHM_FLAG_CONNECTED : SHM_FLAG_BOUND;
    uint32_t hup_bit = watch_client ? SHM_FLAG_CLI_HUP : SHM_FLAG_SRV_HUP;
    int owner = ep->watch_owner;
    int seen_taken = owner != 0;
    int left = 0;

    shmi_log(SHM_KIND_DBG, "started hup listener\n");
    while (shmi_ep_running(ep)) {
        if (!seen_taken) {
            /* The peer announces itself in flags before it takes its lock. Until
       * the lock is taken it must not be touched: it may not even be
       * initialised, and taking it now would hide the peer's death. */
            if (!shmi_lock_taken(watched)) {
                if (!(shmi_mb_flags(mb) & peer_bit)) {
                    left = 1;
                    break; /* the peer left (or gave up) before we saw it hold it */
                }
                usleep(1000);
                continue;
            }
            seen_taken = 1;
            owner = shmi_lock_owner(watched);
        } else if (owner != 0 && shmi_lock_owner(watched) != 0 && shmi_lock_owner(watched) != owner) {
            /* Another thread holds the peer's lock now: the peer we watched left
       * and a new one took its place before we could take the lock. */
            left = 1;
            break;
        }
        /* Sleep while the peer holds its lock (it does for its whole session);
     * its release, its death or a stop ends the sleep. The trylock then
     * tells which; taking it is how an owner-dead lock is recovered. */
        int rc = pthread_mutex_trylock(&watched->mutex);
        if (rc == EBUSY) {
            shmi_lock_wait_change(watched, SHMI_HUP_BACKSTOP_US);
            continue;
        }
        if (rc == EOWNERDEAD) {
            __atomic_fetch_and(&mb->flags, ~peer_bit, __ATOMIC_ACQ_REL);
            __atomic_fetch_or(&mb->flags, hup_bit, __ATOMIC_ACQ_REL);
            pthread_mutex_consistent(&watched->mutex);
            pthread_mutex_unlock(&watched->mutex);
            left = 1;
            break;
        }
        if (rc == 0) {
            pthread_mutex_unlock(&watched->mutex);
            if (!watch_client && (shmi_mb_flags(mb) & SHM_FLAG_BOUND)) {
                /* A bound server lets its lock go for a moment after each client
         * leaves (so that the departed client's listener can end), then
         * takes it again: that is not the server leaving. */
                seen_taken = 0;
                continue;
            }
            left = 1;
            break; /* released normally */
        }
        /* A destroyed or unrecoverable lock: nothing left to watch. */
        left = 1;
        break;
    }
    __atomic_store_n(&ep->hup_done, 1, __ATOMIC_RELEASE);
    if (left) tell_parent(ep, mb);
    shmi_log(SHM_KIND_DBG, "finished hup listener\n");
    ep->endpoint_notify(ep);
    return NULL;
}

shm_endpoint* shmi_hup_start(shm_endpoint* parent, int owner) {
    if (parent->role != SHMI_ROLE_SERVER && parent->role != SHMI_ROLE_CLIENT) return NULL;
    /* A new session: whatever the last peer did about signals is forgotten. */
    parent->peer_unsignalled = 0;
    shm_endpoint* ep = shmi_ep_create(SHMI_ROLE_HUP, NULL, parent);
    if (ep == NULL) {
        int err = errno != 0 ? errno : ENOMEM;
        shmi_log(SHM_KIND_ERR, "%s error creating hup listener (%d): %sr", parent->text, err, strerror(err));
        return NULL;
    }
    ep->mb = parent->mb;
    ep->map_size = parent->map_size;
    ep->watch_owner = owner;
    __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
    int rc = pthread_create(&ep->thread, NULL, hup_thread, ep);
    if (rc != 0) {
        shmi_log(SHM_KIND_ERR, "%s error starting hup listener (%d): %s", parent->text, rc, strerror(rc));
        shmi_ep_free(ep);
        return NULL;
    }
    pthread_detach(ep->thread);
    parent->peer_watched = 1;
    return ep;
}

void shmi_hup_stop(shm_endpoint* hup) {
    if (hup == NULL) return;
    hup->parent->peer_watched = 0;
    __atomic_store_n(&hup->running, 0, __ATOMIC_RELEASE);
    /* The listener may be just about to sleep on the peer's lock, where a
   * single wake would miss it: wake until it is out. It looks at `running`
   * before each sleep, so this takes one round or two. */
    shm_lock* watched = hup_watched(hup);
    while (!__atomic_load_n(&hup->hup_done, __ATOMIC_ACQUIRE)) {
        shmi_lock_wake_watchers(watched);
        usleep(200);
    }
    hup->endpoint_wait(hup);
    shmi_ep_free(hup);
}
