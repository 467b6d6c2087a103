/* The control block: flags, the server's bind and the client's connect. */

#define _GNU_SOURCE
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "shm_internal.h"

uint32_t shmi_mb_flags(const shm_membuf* mb) {
    return __atomic_load_n(&mb->flags, __ATOMIC_ACQUIRE);
}

int shmi_mb_is_bound(const shm_membuf* mb) {
    return (shmi_mb_flags(mb) & SHM_FLAG_BOUND) != 0;
}

int shmi_mb_is_connected(const shm_membuf* mb) {
    return (shmi_mb_flags(mb) & SHM_FLAG_CONNECTED) != 0;
}

uint64_t shmi_rb_unread(const shm_membuf* mb, int ring) {
    return __atomic_load_n(&mb->rb[ring & 1].has_data, __ATOMIC_ACQUIRE);
}

int shmi_mb_side_dead(const shm_membuf* mb, int ring, int reader) {
    /* Ring 0 is written by the server and read by the client. */
    int client = (ring == 0) == (reader != 0);
    uint32_t f = shmi_mb_flags(mb);
    if (client) return (f & SHM_FLAG_CLI_HUP) != 0 || shmi_lock_owner_died(&mb->cli_lock);
    return (f & SHM_FLAG_SRV_HUP) != 0 || shmi_lock_owner_died(&mb->srv_lock);
}

int shmi_mb_reader_dead(const shm_membuf* mb, int ring) {
    return shmi_mb_side_dead(mb, ring, 1);
}

static void rb_log_state(const char* fmt, shm_ringbuf* rb) {
    shmi_log(SHM_KIND_DBG, fmt, (void*)rb, (size_t)rb->pbuf, (ssize_t)rb->head, (ssize_t)rb->tail, (ssize_t)rb->end,
             (void*)&rb->req);
}

static int rb_bind(shm_ringbuf* rb, uint64_t pbuf, uint64_t end) {
    int rc = shmi_lock_init(&rb->lock);
    if (rc != 0) return rc;
    rc = shmi_event_init(&rb->req);
    if (rc != 0) {
        shmi_lock_destroy(&rb->lock);
        return rc;
    }
    rb->pbuf = pbuf;
    rb->end = end;
    rb->head = rb->tail = rb->has_data = 0;
    rb_log_state("rb %p bind: pbuf %zu head %zd tail %zd end %zd , req %p\n", rb);
    return 0;
}

static void rb_unbind(shm_membuf* mb, int ring) {
    shm_ringbuf* rb = &mb->rb[ring];
    /* A reader that died while waiting leaves the condition variable in use
   * (and its mark set), and destroying it would wait for that reader for
   * ever. Destroying is only bookkeeping for a process-shared condition
   * variable; the next bind initialises a fresh one anyway. */
    int keep_event =
        (ring == 0 && shmi_mb_reader_dead(mb, 0)) || __atomic_load_n(&rb->req.waiting, __ATOMIC_ACQUIRE) != 0;
    if (!keep_event) shmi_event_destroy(&rb->req);
    __atomic_store_n(&rb->req.waiting, 0, __ATOMIC_RELAXED);
    shmi_lock_destroy(&rb->lock);
    shmi_log(SHM_KIND_DBG, "rb %p unbind\n", (void*)rb);
}

int shmi_mb_bind(shm_membuf* mb, uint64_t size) {
    if (mb == NULL || size < SHM_MIN_SIZE) return -EINVAL;
    if (shmi_mb_flags(mb) & (SHM_FLAG_BOUND | SHM_FLAG_CONNECTED)) {
        shmi_log(SHM_KIND_ERR, "already binded, aborted\n");
        return -EBUSY;
    }
    memset(mb, 0, sizeof *mb);
    mb->magic = SHM_MAGIC;
    int rc = shmi_lock_init(&mb->srv_lock);
    if (rc != 0) return rc;
    uint64_t k = shmi_ring_capacity(size);
    rc = rb_bind(&mb->rb[0], SHM_MEMBUF_SIZE, k);
    if (rc != 0) {
        shmi_lock_destroy(&mb->srv_lock);
        return rc;
    }
    rc = rb_bind(&mb->rb[1], SHM_MEMBUF_SIZE + k, k);
    if (rc != 0) {
        rb_unbind(mb, 0);
        shmi_lock_destroy(&mb->srv_lock);
        return rc;
    }
    mb->size = size;
    /* Hold the server lock before announcing the bind: a client's hang-up
   * listener must never find it free while the server is alive. */
    rc = shmi_robust_lock(&mb->srv_lock.mutex, NULL);
    if (rc != 0) {
        rb_unbind(mb, 1);
        rb_unbind(mb, 0);
        shmi_lock_destroy(&mb->srv_lock);
        return rc;
    }
    __atomic_store_n(&mb->flags, SHM_FLAG_BOUND, __ATOMIC_RELEASE);
    shmi_log(SHM_KIND_INFO, "mb %p bind shm_membuf_size %zu\n", (void*)mb, (size_t)SHM_MEMBUF_SIZE);
    return 0;
}

void shmi_mb_unbind(shm_membuf* mb) {
    uint32_t before = __atomic_fetch_and(&mb->flags, ~SHM_FLAG_BOUND, __ATOMIC_ACQ_REL);
    if ((before & SHM_FLAG_CONNECTED) && !shmi_mb_reader_dead(mb, 0)) shmi_event_signal(&mb->rb[0].req);
    pthread_mutex_unlock(&mb->srv_lock.mutex);
    rb_unbind(mb, 1);
    rb_unbind(mb, 0);
    shmi_lock_retire(&mb->srv_lock);
    shmi_log(SHM_KIND_INFO, "mb %p unbind\n", (void*)mb);
}

int shmi_mb_connect(shm_membuf* mb, uint64_t size) {
    if (mb == NULL) return -EINVAL;
    uint32_t f = shmi_mb_flags(mb);
    if (!(f & SHM_FLAG_BOUND)) return SHM_ERR_NOT_READY;
    /* A client hang-up the server has not handled yet means the server is
   * about to rebuild the rings: wait for that like for a busy channel. */
    if (f & (SHM_FLAG_CONNECTED | SHM_FLAG_CLI_HUP)) return SHM_ERR_ALREADY_CONNECTED;
    /* Check what can be checked before claiming: a claim that is withdrawn
   * at once still looks like a connection to a server that happens to look
   * at the flags in between (it would greet a client that is not there and
   * then see it leave). */
    if (mb->magic != SHM_MAGIC) return SHM_ERR_BAD_MAGIC;
    if (mb->size != size) return SHM_ERR_BAD_SIZE;
    /* Claim atomically: of two clients racing here only one wins. */
    uint32_t before = __atomic_fetch_or(&mb->flags, SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
    if (before & SHM_FLAG_CONNECTED) return SHM_ERR_ALREADY_CONNECTED;
    if (!(before & SHM_FLAG_BOUND)) {
        __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
        return SHM_ERR_NOT_READY;
    }
    /* Checked again under the claim: a server may have rebound meanwhile. */
    if (mb->magic != SHM_MAGIC) {
        __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
        return SHM_ERR_BAD_MAGIC;
    }
    if (mb->size != size) {
        __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
        return SHM_ERR_BAD_SIZE;
    }
    for (int i = 0; i < 2; i++)
        rb_log_state("rb %p connect: pbuf %zu head %zd tail %zd end %zd , req %p\n", &mb->rb[i]);
    /* The server's listener of the previous client takes that client's
   * released lock for a moment to learn it left. Initialising the lock
   * under it would corrupt the listener's robust list: let it finish. */
    for (int i = 0; i < 200 && shmi_lock_owner(&mb->cli_lock) != 0 && !shmi_lock_owner_died(&mb->cli_lock); i++)
        usleep(100);
    int rc = shmi_lock_init(&mb->cli_lock);
    if (rc == 0) {
        rc = shmi_robust_lock(&mb->cli_lock.mutex, NULL);
        if (rc != 0) shmi_lock_destroy(&mb->cli_lock);
    }
    if (rc != 0) {
        for (int i = 0; i < 2; i++)
            shmi_log(SHM_KIND_DBG, "rb %p disconnect\n", (void*)&mb->rb[i]);
        __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
        return rc;
    }
    for (int i = 0; i < 2; i++)
        rb_log_state(
            "rb %p connected : pbuf %zu phead %zd ptail %zd pend %zd , "
            "req %p\n",
            &mb->rb[i]);
    shmi_log(SHM_KIND_INFO, "mb %p connected\n", (void*)mb);
    return 0;
}

void shmi_mb_disconnect(shm_membuf* mb) {
    __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
    pthread_mutex_unlock(&mb->cli_lock.mutex);
    for (int i = 0; i < 2; i++)
        shmi_log(SHM_KIND_DBG, "rb %p disconnect\n", (void*)&mb->rb[i]);
    shmi_log(SHM_KIND_INFO, "mb %p disconnected\n", (void*)mb);
}

void shmi_mb_destroy_client_lock(shm_membuf* mb) {
    shmi_lock_retire(&mb->cli_lock);
}
