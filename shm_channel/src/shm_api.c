/* The public calls that are not a thread: stop, read and write, texts, defaults. */

#define _GNU_SOURCE
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "shm_endpoint_int.h"

int shm_stop(shm_endpoint* ep) {
    if (ep == NULL || (ep->role != SHMI_ROLE_SERVER && ep->role != SHMI_ROLE_CLIENT)) return -EINVAL;
    if (pthread_equal(pthread_self(), ep->thread)) {
        /* Called from a callback: the thread cannot wait for itself, so it
     * frees the endpoint when it ends. */
        __atomic_store_n(&ep->self_free, 1, __ATOMIC_RELEASE);
        __atomic_store_n(&ep->running, 0, __ATOMIC_RELEASE);
        return 0;
    }
    if (__atomic_exchange_n(&ep->running, 0, __ATOMIC_SEQ_CST) == 1) {
        shmi_ep_wake_pause(ep);
        pthread_rwlock_rdlock(&ep->map_lock);
        if (ep->mb != NULL) {
            if (ep->role == SHMI_ROLE_SERVER)
                shmi_event_signal(&ep->mb->rb[1].req);
            else if (shmi_mb_is_connected(ep->mb))
                shmi_event_signal(&ep->mb->rb[0].req);
        }
        pthread_rwlock_unlock(&ep->map_lock);
        ep->endpoint_wait(ep);
    }
    shmi_ep_free(ep);
    return 0;
}

/* ---- the writer slot ---------------------------------------------------- */

static void writer_enter(shm_endpoint* ep) {
    pthread_mutex_lock(&ep->wr_mutex);
    while (ep->wr_busy)
        pthread_cond_wait(&ep->wr_cond, &ep->wr_mutex);
    ep->wr_busy = 1;
    pthread_mutex_unlock(&ep->wr_mutex);
}

static void writer_leave(shm_endpoint* ep) {
    pthread_mutex_lock(&ep->wr_mutex);
    ep->wr_busy = 0;
    pthread_cond_signal(&ep->wr_cond);
    pthread_mutex_unlock(&ep->wr_mutex);
}

/* ---- copying calls ------------------------------------------------------ */

ssize_t shm_write(shm_endpoint* ep, const void* data, size_t len) {
    if (ep == NULL || data == NULL) return -EINVAL;
    int ring = shmi_ep_ring(ep, 1);
    if (ring < 0) return -EINVAL;
    /* The copying write fills the contiguous free bytes and publishes them
   * once (shmi_rb_write), so a peer sees exactly one publication per call,
   * as it always has. */
    writer_enter(ep);
    pthread_rwlock_rdlock(&ep->map_lock);
    ssize_t r = ep->mb == NULL ? -EINVAL : shmi_rb_write(ep->mb, ep->map_size, ring, data, len);
    pthread_rwlock_unlock(&ep->map_lock);
    writer_leave(ep);
    shmi_ep_note_result(ep, r);
    return r;
}

ssize_t shm_read(shm_endpoint* ep, void* buf, size_t len) {
    if (ep == NULL || buf == NULL) return -EINVAL;
    int ring = shmi_ep_ring(ep, 0);
    if (ring < 0) return -EINVAL;
    pthread_rwlock_rdlock(&ep->map_lock);
    ssize_t r = ep->mb == NULL ? -EINVAL : shmi_rb_read(ep->mb, ep->map_size, ring, buf, len);
    pthread_rwlock_unlock(&ep->map_lock);
    if (r > 0) __atomic_fetch_add(&ep->reads, 1, __ATOMIC_ACQ_REL);
    shmi_ep_note_result(ep, r);
    return r;
}

/* ---- in place ----------------------------------------------------------- */

struct space_or_gone {
    shm_endpoint* ep;
    const shm_ringbuf* rb;
    size_t need;
};

static int space_or_gone(const void* arg) {
    const struct space_or_gone* s = arg;
    uint64_t has = __atomic_load_n(&s->rb->has_data, __ATOMIC_SEQ_CST);
    uint64_t end = __atomic_load_n(&s->rb->end, __ATOMIC_RELAXED);
    return (has <= end && end - has >= s->need) || shmi_ep_peer_gone(s->ep, s->ep->mb);
}

static uint64_t now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

/* The longest single wait for space. Our own reader signals the ring's
 * event after every read, which ends the wait at once. A reader that does
 * not (the host agent reads with the plain copying algorithm and never
 * signals) is looked at again after each slice: 50 us at first, doubling to
 * this bound, so a writer behind such a peer neither spins nor lags it by
 * more than a couple of milliseconds. */
#define MAX_SPACE_SLICE_US 2000u
#define MIN_SPACE_SLICE_US 50u

/* Reserves up to len bytes, at least `need` of them, waiting for that much
 * space at most timeout_us. */
static ssize_t reserve(shm_endpoint* ep, size_t len, size_t need, shm_span spans[2], uint64_t timeout_us) {
    if (ep == NULL || spans == NULL || len == 0) return -EINVAL;
    int ring = shmi_ep_ring(ep, 1);
    if (ring < 0) return -EINVAL;
    writer_enter(ep);
    pthread_rwlock_rdlock(&ep->map_lock);
    shm_membuf* mb = ep->mb;
    ssize_t r = -EINVAL;
    if (mb != NULL && need > __atomic_load_n(&mb->rb[ring].end, __ATOMIC_RELAXED)) {
        r = -EMSGSIZE; /* could never fit, however long the wait */
        mb = NULL;
    }
    uint64_t start = now_us();
    uint64_t slice = MIN_SPACE_SLICE_US;
    while (mb != NULL) {
        uint64_t at = 0;
        r = shmi_rb_reserve(mb, ep->map_size, ring, len, spans, &at);
        if (r > 0 && (size_t)r >= need) {
            ep->resv_at = at;
            ep->resv_len = (size_t)r;
            ep->resv_thread = pthread_self();
            __atomic_store_n(&ep->resv_active, 1, __ATOMIC_RELEASE);
            return r; /* the map lock and the writer slot stay held until commit */
        }
        if (r > 0) r = -ENOSPC; /* some room, not enough: nothing is reserved */
        shmi_ep_note_result(ep, r);
        if (r != -ENOSPC) break;
        if (shmi_ep_peer_gone(ep, mb)) {
            r = -EPIPE;
            break;
        }
        uint64_t waited = now_us() - start;
        if (waited >= timeout_us) break; /* still -ENOSPC */
        uint64_t wait = timeout_us - waited;
        if (wait > slice) wait = slice;
        if (slice < MAX_SPACE_SLICE_US) slice *= 2;
        struct space_or_gone cond = {ep, &mb->rb[ring], need};
        int rc = shmi_event_wait_for(&mb->rb[ring].req, wait, space_or_gone, &cond);
        if (rc < 0 && rc != -1) {
            shmi_ep_note_result(ep, rc);
            r = -EPIPE;
            break;
        }
        if (rc == -1) usleep((useconds_t)wait); /* the peer's reader holds the mark */
    }
    pthread_rwlock_unlock(&ep->map_lock);
    writer_leave(ep);
    return r;
}

ssize_t shm_reserve(shm_endpoint* ep, size_t len, shm_span spans[2], uint64_t timeout_us) {
    return reserve(ep, len, 1, spans, timeout_us);
}

ssize_t shm_reserve_all(shm_endpoint* ep, size_t len, shm_span spans[2], uint64_t timeout_us) {
    return reserve(ep, len, len, spans, timeout_us);
}

int shm_commit(shm_endpoint* ep, size_t len) {
    if (ep == NULL || shmi_ep_ring(ep, 1) < 0) return -EINVAL;
    if (!__atomic_load_n(&ep->resv_active, __ATOMIC_ACQUIRE) || !pthread_equal(ep->resv_thread, pthread_self()) ||
        len > ep->resv_len)
        return -EINVAL;
    int r = shmi_rb_commit(ep->mb, ep->map_size, shmi_ep_ring(ep, 1), ep->resv_at, ep->resv_len, len);
    shmi_ep_note_result(ep, r);
    __atomic_store_n(&ep->resv_active, 0, __ATOMIC_RELEASE);
    pthread_rwlock_unlock(&ep->map_lock);
    writer_leave(ep);
    return r;
}

ssize_t shm_peek(shm_endpoint* ep, shm_span spans[2]) {
    if (ep == NULL || spans == NULL) return -EINVAL;
    int ring = shmi_ep_ring(ep, 0);
    if (ring < 0) return -EINVAL;
    int held = __atomic_load_n(&ep->peek_active, __ATOMIC_ACQUIRE);
    if (held && !pthread_equal(ep->peek_thread, pthread_self())) return -EINVAL; /* one reader per ring */
    if (!held) pthread_rwlock_rdlock(&ep->map_lock);
    ssize_t r = ep->mb == NULL ? -EINVAL : shmi_rb_peek(ep->mb, ep->map_size, ring, spans);
    shmi_ep_note_result(ep, r);
    if (r > 0) {
        ep->peek_thread = pthread_self();
        __atomic_store_n(&ep->peek_active, 1, __ATOMIC_RELEASE);
        return r; /* the map lock stays held until consume */
    }
    __atomic_store_n(&ep->peek_active, 0, __ATOMIC_RELEASE);
    pthread_rwlock_unlock(&ep->map_lock);
    return r;
}

int shm_consume(shm_endpoint* ep, size_t len) {
    if (ep == NULL || shmi_ep_ring(ep, 0) < 0) return -EINVAL;
    if (!__atomic_load_n(&ep->peek_active, __ATOMIC_ACQUIRE) || !pthread_equal(ep->peek_thread, pthread_self()))
        return -EINVAL;
    int r = shmi_rb_consume(ep->mb, ep->map_size, shmi_ep_ring(ep, 0), len);
    if (r == -EINVAL) return r; /* more than is unread: the peek stays open */
    if (r == 0 && len > 0) __atomic_fetch_add(&ep->reads, 1, __ATOMIC_ACQ_REL);
    shmi_ep_note_result(ep, r);
    __atomic_store_n(&ep->peek_active, 0, __ATOMIC_RELEASE);
    pthread_rwlock_unlock(&ep->map_lock);
    return r;
}

/* ---- texts and defaults ------------------------------------------------- */

const char* shm_strerror(int code) {
    switch (code) {
        case SHM_ERR_NOT_READY:
            return "connect error: Shared memory is not ready";
        case SHM_ERR_BAD_MAGIC:
            return "connect error: Bad magic";
        case SHM_ERR_BAD_SIZE:
            return "connect error: Bad size";
        case SHM_ERR_REJECTED:
            return "connection rejected by user";
        case SHM_ERR_ALREADY_CONNECTED:
            return "connect error: already connected";
        default:
            return strerror(code < 0 ? -code : code);
    }
}

void shm_config_init(shm_config* cfg) {
    if (cfg == NULL) return;
    memset(cfg, 0, sizeof *cfg);
    cfg->name = SHM_DEFAULT_NAME;
    cfg->timeout_us = SHM_DEFAULT_TIMEOUT_US;
    cfg->size = SHM_DEFAULT_SIZE;
    cfg->chunk = SHM_DEFAULT_CHUNK;
}
