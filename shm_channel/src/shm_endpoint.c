/* What the endpoint threads share: creation, rendezvous, pauses, delivery. */

#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "shm_endpoint_int.h"

int shmi_ep_running(shm_endpoint* ep) {
    return __atomic_load_n(&ep->running, __ATOMIC_SEQ_CST);
}

/* The rendezvous: endpoint_wait and endpoint_notify meet exactly once per
 * round, whichever comes first; the notifier returns only once its waiter
 * has arrived (so the waiter may free the endpoint right after). Both sides
 * block on the condition variable, no side polls. */
static void rv_wait(shm_endpoint* ep) {
    pthread_mutex_lock(&ep->rv_mutex);
    if (__atomic_load_n(&ep->rv_flag, __ATOMIC_ACQUIRE)) {
        pthread_mutex_unlock(&ep->rv_mutex);
        return;
    }
    __atomic_store_n(&ep->rv_flag, 1, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&ep->rv_cond);
    while (__atomic_load_n(&ep->rv_flag, __ATOMIC_ACQUIRE))
        pthread_cond_wait(&ep->rv_cond, &ep->rv_mutex);
    pthread_mutex_unlock(&ep->rv_mutex);
}

static void rv_notify(shm_endpoint* ep) {
    pthread_mutex_lock(&ep->rv_mutex);
    while (!__atomic_load_n(&ep->rv_flag, __ATOMIC_ACQUIRE))
        pthread_cond_wait(&ep->rv_cond, &ep->rv_mutex);
    __atomic_store_n(&ep->rv_flag, 0, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&ep->rv_cond);
    /* The waiter may free the endpoint as soon as this unlock lets it go. */
    pthread_mutex_unlock(&ep->rv_mutex);
}

shm_endpoint* shmi_ep_create(int role, const shm_config* cfg, shm_endpoint* parent) {
    shm_endpoint* ep = calloc(1, sizeof *ep);
    if (ep == NULL) return NULL;
    if (role != SHMI_ROLE_HUP) {
        ep->cfg = *cfg;
        ep->name = strdup(cfg->name != NULL ? cfg->name : SHM_DEFAULT_NAME);
        if (ep->name == NULL) {
            shmi_log(SHM_KIND_ERR, "error while copy control object data");
            free(ep);
            return NULL;
        }
        ep->cfg.name = ep->name;
        if (ep->cfg.chunk == 0) ep->cfg.chunk = SHM_DEFAULT_CHUNK;
    }
    ep->role = role;
    ep->fd = -1;
    ep->parent = parent;
    pthread_mutex_init(&ep->rv_mutex, NULL);
    pthread_cond_init(&ep->rv_cond, NULL);
    pthread_rwlock_init(&ep->map_lock, NULL);
    pthread_mutex_init(&ep->pause_mutex, NULL);
    pthread_mutex_init(&ep->wr_mutex, NULL);
    ep->spin_ns = 50000u; /* SHMI_SPIN_MAX_NS: start optimistic */
    pthread_cond_init(&ep->wr_cond, NULL);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&ep->pause_cond, &ca);
    pthread_condattr_destroy(&ca);
    ep->endpoint_wait = rv_wait;
    ep->endpoint_notify = rv_notify;
    __atomic_store_n(&ep->running, 0, __ATOMIC_RELAXED);
    if (role == SHMI_ROLE_SERVER)
        snprintf(ep->text, sizeof ep->text, "%s %s", "shm_srv", ep->name);
    else if (role == SHMI_ROLE_CLIENT)
        snprintf(ep->text, sizeof ep->text, "%s %s", "shm_cli", ep->name);
    else
        snprintf(ep->text, sizeof ep->text, "%s", "shm_hup_listener");
    shmi_log(SHM_KIND_DBG, "created %s %p\n", ep->text, (void*)ep);
    return ep;
}

void shmi_ep_free(shm_endpoint* ep) {
    pthread_mutex_destroy(&ep->rv_mutex);
    pthread_cond_destroy(&ep->rv_cond);
    pthread_rwlock_destroy(&ep->map_lock);
    pthread_mutex_destroy(&ep->pause_mutex);
    pthread_mutex_destroy(&ep->wr_mutex);
    pthread_cond_destroy(&ep->wr_cond);
    pthread_cond_destroy(&ep->pause_cond);
    shmi_log(SHM_KIND_DBG, "destroyed %s %p\n", ep->text, (void*)ep);
    free(ep->name);
    free(ep);
}

void shmi_ep_set_mapping(shm_endpoint* ep, shm_membuf* mb, size_t size) {
    /* A peek or reservation left open by a callback on this very thread holds
   * the map lock for reading: taking it for writing would wait for ever.
   * Such a hold ends here (an uncommitted reservation is dropped). */
    pthread_t self = pthread_self();
    if (__atomic_load_n(&ep->peek_active, __ATOMIC_ACQUIRE) && pthread_equal(ep->peek_thread, self)) {
        __atomic_store_n(&ep->peek_active, 0, __ATOMIC_RELEASE);
        pthread_rwlock_unlock(&ep->map_lock);
    }
    if (__atomic_load_n(&ep->resv_active, __ATOMIC_ACQUIRE) && pthread_equal(ep->resv_thread, self)) {
        __atomic_store_n(&ep->resv_active, 0, __ATOMIC_RELEASE);
        pthread_rwlock_unlock(&ep->map_lock);
        pthread_mutex_lock(&ep->wr_mutex);
        ep->wr_busy = 0;
        pthread_cond_broadcast(&ep->wr_cond);
        pthread_mutex_unlock(&ep->wr_mutex);
    }
    if (mb == NULL) __atomic_store_n(&ep->closing, 1, __ATOMIC_RELEASE);
    pthread_rwlock_wrlock(&ep->map_lock);
    ep->mb = mb;
    ep->map_size = size;
    if (mb != NULL) {
        __atomic_store_n(&ep->closing, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&ep->broken, 0, __ATOMIC_RELEASE);
    }
    pthread_rwlock_unlock(&ep->map_lock);
}

void shmi_ep_note_result(shm_endpoint* ep, long rc) {
    if (rc != -ETIMEDOUT && rc != -EIO) return;
    if (__atomic_exchange_n(&ep->broken, 1, __ATOMIC_SEQ_CST)) return;
    /* The endpoint's thread acts on a broken peer only once it looks, and it
     * may be asleep on the ring it reads for a long while: wake it (on that
     * thread itself the signal finds nobody marked and costs a load). The
     * map lock held for writing means that thread is awake, remapping. */
    if (pthread_rwlock_tryrdlock(&ep->map_lock) != 0) return;
    int ring = shmi_ep_ring(ep, 0);
    if (ep->mb != NULL && ring >= 0) shmi_event_signal(&ep->mb->rb[ring].req);
    pthread_rwlock_unlock(&ep->map_lock);
}

int shmi_ep_ring(const shm_endpoint* ep, int writing) {
    if (ep->role == SHMI_ROLE_SERVER) return writing ? 0 : 1;
    if (ep->role == SHMI_ROLE_CLIENT) return writing ? 1 : 0;
    return -1;
}

int shmi_ep_peer_gone(shm_endpoint* ep, const shm_membuf* mb) {
    if (!shmi_ep_running(ep) || __atomic_load_n(&ep->closing, __ATOMIC_ACQUIRE) ||
        __atomic_load_n(&ep->broken, __ATOMIC_ACQUIRE))
        return 1;
    uint32_t f = shmi_mb_flags(mb);
    if (ep->role == SHMI_ROLE_SERVER) return !(f & SHM_FLAG_CONNECTED) || (f & SHM_FLAG_CLI_HUP);
    return !(f & SHM_FLAG_BOUND) || (f & SHM_FLAG_SRV_HUP);
}

/* Unmaps and closes; the endpoint's own thread only. */
void shmi_ep_release_mapping(shm_endpoint* ep) {
    shm_membuf* mb = ep->mb;
    size_t size = ep->map_size;
    if (mb == NULL && ep->role == SHMI_ROLE_SERVER && ep->fd >= 0) {
        /* A stopping server has already hidden its mapping. */
        mb = ep->hidden_mb;
    }
    shmi_ep_set_mapping(ep, NULL, 0);
    if (mb != NULL) munmap(mb, size);
    if (ep->fd >= 0) close(ep->fd);
    ep->fd = -1;
}

/* Sleeps timeout_us, to the microsecond, or until the endpoint is stopped.
 * Periods under SHMI_MIN_PAUSE_US are raised to it so that a client
 * configured with 0 retries quickly without spinning on a core. */
void shmi_ep_pause(shm_endpoint* ep) {
    uint64_t us = ep->cfg.timeout_us;
    if (us < SHMI_MIN_PAUSE_US) us = SHMI_MIN_PAUSE_US;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    uint64_t ns = (uint64_t)deadline.tv_nsec + (us % 1000000u) * 1000u;
    deadline.tv_sec += (time_t)(us / 1000000u + ns / 1000000000u);
    deadline.tv_nsec = (long)(ns % 1000000000u);
    pthread_mutex_lock(&ep->pause_mutex);
    while (shmi_ep_running(ep)) {
        if (pthread_cond_timedwait(&ep->pause_cond, &ep->pause_mutex, &deadline) == ETIMEDOUT) break;
    }
    pthread_mutex_unlock(&ep->pause_mutex);
}

void shmi_ep_wake_pause(shm_endpoint* ep) {
    pthread_mutex_lock(&ep->pause_mutex);
    pthread_cond_broadcast(&ep->pause_cond);
    pthread_mutex_unlock(&ep->pause_mutex);
}

/* Waits for data on `ring`, or for anything else the endpoint's loop must
 * act on. Every such event comes with a signal of the ring's event: the
 * peer's write, the peer's connect or departure (the flags word changes
 * first), a hang-up the listener saw, a stop. The timed part of the wait
 * is only a backstop for a signal that never comes: see idle_backstop_us.
 * A peer holding the event's mutex past the lock deadline is broken. When
 * the event cannot be waited on because another waiter's mark is set, a
 * short sleep keeps the loop from spinning (see after_event_wait). */
struct data_or_news {
    shm_endpoint* ep;
    const uint64_t* has_data;
    const uint32_t* flags;
    uint32_t flags_seen;
};

static int data_or_news(const void* arg) {
    const struct data_or_news* d = arg;
    return __atomic_load_n(d->has_data, __ATOMIC_SEQ_CST) != 0 || !shmi_ep_running(d->ep) ||
           __atomic_load_n(&d->ep->peer_left, __ATOMIC_SEQ_CST) || __atomic_load_n(&d->ep->broken, __ATOMIC_SEQ_CST) ||
           __atomic_load_n(d->flags, __ATOMIC_SEQ_CST) != d->flags_seen;
}

/* How long an idle reader sleeps before it looks at its ring unasked.
 *
 * A signal cannot be lost between a sound writer and this reader: the
 * reader marks itself waiting and only then looks at the ring, the flags
 * and its own state, and the writer publishes before it looks at the mark
 * (under the event's mutex, or by sequentially consistent accesses). So
 * the backstop only matters where something may change without a signal:
 *
 * - no hang-up listener watches a peer (none is connected, or the listener
 *   could not start). A client that claims the channel and dies before its
 *   signal, or a peer that dies unwatched, is then seen only by looking:
 *   one second, as the peer's own reader does.
 * - the peer has been seen publishing data without a signal (a wait ran to
 *   its deadline and found data): one second for the rest of that session,
 *   so such a peer's messages wait at most that long.
 *
 * Otherwise a connected peer is watched by the listener (its departure and
 * its death both wake this wait) and signals every write, and the reader
 * sleeps the long backstop: an idle, connected channel then costs a
 * wake-up every shmi_idle_backstop_us (30 s) instead of every second. */
#define SHMI_SHORT_BACKSTOP_US 1000000u
uint64_t shmi_idle_backstop_us = 30000000u;

static uint64_t idle_backstop_us(const shm_endpoint* ep) {
    if (ep->peer_watched && !ep->peer_unsignalled) return __atomic_load_n(&shmi_idle_backstop_us, __ATOMIC_RELAXED);
    return SHMI_SHORT_BACKSTOP_US;
}

/* How long a reader that found its ring empty keeps looking before it
 * blocks. Blocking costs a futex wait here and a wake-up system call in the
 * writer, a few microseconds each way, which is most of a small message's
 * round trip when both processes have a core. On a loaded machine the peer
 * is often not running at all, and spinning only takes the core it needs.
 * So the budget follows what the waits were, as an adaptive mutex's does: a
 * wait that ended (spinning or blocked) within SHMI_SPIN_MAX_NS says that
 * spinning about twice as long would have caught the data; a longer one
 * halves the budget, down to nothing with an occasional short probe.
 * Bounded, so an idle channel sleeps. Judging a blocked wait too matters:
 * a budget judged only by its own spins, once at zero, never sees a peer
 * that answers in 20 us again, and both sides then block for good. */
#define SHMI_SPIN_MAX_NS 50000u
#define SHMI_SPIN_PROBE_NS 2000u

static uint64_t mono_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* The budget after a wait that lasted waited_ns and saw news or not. */
static uint32_t next_budget(uint32_t budget, uint64_t waited_ns, int news) {
    if (news && waited_ns <= SHMI_SPIN_MAX_NS) {
        uint64_t next = waited_ns * 2 > budget * 2ull ? waited_ns * 2 : budget * 2ull;
        if (next < SHMI_SPIN_PROBE_NS * 2) next = SHMI_SPIN_PROBE_NS * 2;
        return next > SHMI_SPIN_MAX_NS ? SHMI_SPIN_MAX_NS : (uint32_t)next;
    }
    return budget / 2 < 1000u ? 0 : budget / 2;
}

static int spin_until_news(shm_endpoint* ep, const struct data_or_news* d, uint64_t start) {
    uint32_t budget = ep->spin_ns;
    if (budget == 0) {
        if ((++ep->spin_skips & 15u) != 0) return data_or_news(d);
        budget = SHMI_SPIN_PROBE_NS;
    }
    for (unsigned i = 1;; i++) {
        if (data_or_news(d)) return 1;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if ((i & 63u) == 0 && mono_ns() - start > budget) return 0;
    }
}

/* After a wait on a ring's event: when the event's single waiting mark was
 * someone else's (rc -1), back off before looking again. The mark is most
 * often the peer's writer, waiting for space in this very ring and about to
 * run and clear it: a long sleep here stalls a full-speed transfer for
 * nothing. It may also be the mark of a peer that died waiting, which
 * stays: so the pause starts at 50 us and doubles to 10 ms while the mark
 * stays taken. Other failures pause the full 10 ms. */
static void after_event_wait(shm_endpoint* ep, int rc) {
    shmi_ep_note_result(ep, rc);
    if (rc == -1) {
        uint32_t us = ep->mark_pause_us < 50u ? 50u : ep->mark_pause_us;
        usleep(us);
        ep->mark_pause_us = us * 2 > 10000u ? 10000u : us * 2;
        return;
    }
    ep->mark_pause_us = 0;
    if (rc < 0 && rc != -ETIMEDOUT) usleep(10000);
}

void shmi_ep_idle_wait(shm_endpoint* ep, int ring, uint32_t flags_seen) {
    shm_ringbuf* rb = &ep->mb->rb[ring];
    struct data_or_news d = {ep, &rb->has_data, &ep->mb->flags, flags_seen};
    uint64_t start = mono_ns();
    if (spin_until_news(ep, &d, start)) {
        ep->spin_ns = next_budget(ep->spin_ns, mono_ns() - start, 1);
        return;
    }
    int rc = shmi_event_wait_for(&rb->req, idle_backstop_us(ep), data_or_news, &d);
    int news = data_or_news(&d);
    ep->spin_ns = next_budget(ep->spin_ns, mono_ns() - start, news);
    if (rc == ETIMEDOUT && __atomic_load_n(&rb->has_data, __ATOMIC_SEQ_CST) != 0 && !ep->peer_unsignalled) {
        ep->peer_unsignalled = 1;
        shmi_log(SHM_KIND_DBG, "%s: data arrived without a signal, looking every second\n", ep->text);
    }
    after_event_wait(ep, rc);
}

struct count_changed {
    shm_endpoint* ep;
    const uint64_t* has_data;
    uint64_t count;
};

static int count_changed(const void* arg) {
    const struct count_changed* c = arg;
    return __atomic_load_n(c->has_data, __ATOMIC_SEQ_CST) != c->count || !shmi_ep_running(c->ep) ||
           __atomic_load_n(&c->ep->broken, __ATOMIC_SEQ_CST);
}

/* Waits until the unread count differs from `count`: the peer wrote (its
 * write signals the event) or the application read (a read or consume
 * signals it too), or a second passed. */
static void wait_count_change(shm_endpoint* ep, int ring, uint64_t count) {
    shm_ringbuf* rb = &ep->mb->rb[ring];
    struct count_changed c = {ep, &rb->has_data, count};
    int rc = shmi_event_wait_for(&rb->req, 1000000u, count_changed, &c);
    after_event_wait(ep, rc);
}

/* Hands received data to the application; ring is the one this side reads.
 * on_data gets a private copy, never ring memory: the peer can rewrite the
 * ring at any time, and the application's parser must not see its input
 * change under it. */
void shmi_ep_deliver(shm_endpoint* ep, int ring, uint64_t count, uint8_t* buf) {
    const shm_config* c = &ep->cfg;
    if (c->on_data != NULL) {
        size_t n = count < c->chunk ? (size_t)count : c->chunk;
        ssize_t r = shmi_rb_read(ep->mb, ep->map_size, ring, buf, n);
        if (r > 0)
            c->on_data(c->user_data, ep, buf, (size_t)r);
        else
            shmi_ep_note_result(ep, r);
    } else if (c->on_data_available != NULL) {
        uint64_t reads = __atomic_load_n(&ep->reads, __ATOMIC_ACQUIRE);
        c->on_data_available(c->user_data, ep, count > UINT32_MAX ? UINT32_MAX : (uint32_t)count);
        /* The application read something: look again at once. The unread count
     * alone cannot tell, as a peer may have written exactly as much as was
     * read meanwhile. Nothing read: the callback comes again once the count
     * changes (the peer wrote more, or another thread read). */
        if (__atomic_load_n(&ep->reads, __ATOMIC_ACQUIRE) == reads && shmi_rb_unread(ep->mb, ring) == count)
            wait_count_change(ep, ring, count);
    } else {
        wait_count_change(ep, ring, count);
    }
}

/* Ends an endpoint thread. Exactly one of the thread and shm_stop sees
 * `running` go from 1 to 0; only when shm_stop did is anybody waiting for
 * the notify. */
void shmi_ep_thread_end(shm_endpoint* ep) {
    if (__atomic_exchange_n(&ep->running, 0, __ATOMIC_ACQ_REL) == 1)
        return; /* ended on its own: shm_stop will not wait */
    if (__atomic_load_n(&ep->self_free, __ATOMIC_ACQUIRE))
        shmi_ep_free(ep);
    else
        ep->endpoint_notify(ep);
}
