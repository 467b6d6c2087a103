/* The two rings: copying and in-place transfers, index validation and
 * repair. Every operation reads the shared indices once, under the ring
 * lock, checks them, and from then on works only on that checked copy: the
 * peer (or any local user, the object being 0666) can rewrite the words at
 * any moment, and nothing it writes may make a copy leave the mapping. */

#define _GNU_SOURCE
#include <errno.h>
#include <string.h>

#include "shm_internal.h"

/*
 * Index discipline, so that a holder killed anywhere inside a ring operation
 * leaves words the next holder can repair: the writer stores tail (and, when
 * it publishes into an emptied ring, head) before has_data; the reader
 * stores head before has_data, and a read that empties the ring clears
 * has_data first. With that order, "has_data == 0" always means empty, and
 * otherwise the distance from head to tail is the truth (a zero distance
 * meaning full).
 */
static void rb_repair(shm_ringbuf* rb) {
    uint64_t end = rb->end, head = rb->head, tail = rb->tail;
    uint64_t has = rb->has_data;
    if (end == 0 || head >= end || tail >= end) return; /* geometry is checked by the caller */
    if (has == 0) {
        rb->head = rb->tail = 0;
    } else {
        uint64_t d = (tail + end - head) % end;
        __atomic_store_n(&rb->has_data, d == 0 ? end : d, __ATOMIC_RELEASE);
    }
}

/* One consistent reading of a ring, taken under its lock. */
typedef struct rb_view {
    shm_ringbuf* rb;
    uint8_t* area;
    uint64_t pbuf, head, tail, end, has;
} rb_view;

static int view_sane(const rb_view* v, size_t map_size) {
    if (v->end == 0 || v->pbuf < SHM_MEMBUF_SIZE || v->pbuf > map_size || v->end > map_size - v->pbuf) return 0;
    if (v->head >= v->end || v->tail >= v->end || v->has > v->end) return 0;
    uint64_t d = (v->tail + v->end - v->head) % v->end;
    if (d == 0) return v->has == 0 || v->has == v->end;
    return v->has == d;
}

static void view_read(rb_view* v, shm_membuf* mb, shm_ringbuf* rb) {
    v->rb = rb;
    v->pbuf = __atomic_load_n(&rb->pbuf, __ATOMIC_RELAXED);
    v->head = __atomic_load_n(&rb->head, __ATOMIC_RELAXED);
    v->tail = __atomic_load_n(&rb->tail, __ATOMIC_RELAXED);
    v->end = __atomic_load_n(&rb->end, __ATOMIC_RELAXED);
    v->has = __atomic_load_n(&rb->has_data, __ATOMIC_ACQUIRE);
    v->area = (uint8_t*)mb + v->pbuf;
}

/* Takes the ring lock (bounded), recovers from a holder that died, and
 * reads the checked view. On failure the lock is not held: -ETIMEDOUT for a
 * live holder past the deadline, -EIO for indices no sound peer writes. */
static int rb_lock(shm_membuf* mb, size_t map_size, int ring, const char* op, rb_view* v) {
    shm_ringbuf* rb = &mb->rb[ring];
    int died = 0;
    int rc = shmi_lock_timed(&rb->lock.mutex, &died);
    if (rc == -ETIMEDOUT) {
        shmi_log(SHM_KIND_ERR, "%s %p: ring lock held past the deadline by a live peer\n", op, (void*)rb);
        return rc;
    }
    if (rc != 0) return rc;
    if (died) {
        rb_repair(rb);
        shmi_log(SHM_KIND_INFO, "%s %p: recovered ring lock of a dead holder\n", op, (void*)rb);
    }
    view_read(v, mb, rb);
    if (!view_sane(v, map_size)) {
        shmi_log(SHM_KIND_ERR,
                 "%s %p: inconsistent ring (pbuf %zu head %zu tail %zu end %zu "
                 "has_data %zu), refused\n",
                 op, (void*)rb, (size_t)v->pbuf, (size_t)v->head, (size_t)v->tail, (size_t)v->end, (size_t)v->has);
        pthread_mutex_unlock(&rb->lock.mutex);
        return -EIO;
    }
    return 0;
}

static void rb_unlock(rb_view* v) {
    pthread_mutex_unlock(&v->rb->lock.mutex);
}

/* Free bytes that follow tail without wrapping (what one copying write may
 * fill). */
static uint64_t contiguous_free(const rb_view* v) {
    if (v->head > v->tail) return v->head - v->tail;
    if (v->head == v->tail && v->has != 0) return 0;
    return v->end - v->tail;
}

/* Publishes n bytes written at the tail of the view. */
static void publish(rb_view* v, uint64_t n) {
    __atomic_store_n(&v->rb->tail, (v->tail + n) % v->end, __ATOMIC_RELEASE);
    __atomic_store_n(&v->rb->has_data, v->has + n, __ATOMIC_SEQ_CST);
}

/* Releases n unread bytes from head (n <= has). */
static void release(rb_view* v, uint64_t n) {
    uint64_t head = (v->head + n) % v->end;
    if (n == v->has) {
        /* Emptied: clear the count first (see the index discipline). Starting
     * an empty ring at 0 lets the next copying write place a whole ring. */
        __atomic_store_n(&v->rb->has_data, 0, __ATOMIC_SEQ_CST);
        __atomic_store_n(&v->rb->head, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&v->rb->tail, 0, __ATOMIC_RELEASE);
    } else {
        __atomic_store_n(&v->rb->head, head, __ATOMIC_RELEASE);
        __atomic_store_n(&v->rb->has_data, v->has - n, __ATOMIC_SEQ_CST);
    }
}

/* The count is stored sequentially consistent: shmi_event_signal's look at
 * the waiting mark must not be ordered before it (see there).
 *
 * Wakes whoever waits on the ring's event: its reader after a write, its
 * writer after a read. A side known to be dead may have left the condition
 * variable in a state where signalling it never returns; it needs no
 * wake-up anyway. */
static void wake(shm_membuf* mb, int ring, int waking_reader) {
    if (!shmi_mb_side_dead(mb, ring, waking_reader)) shmi_event_signal(&mb->rb[ring].req);
}

/* Publishes len bytes written at `at` since a reservation (or a copying
 * write's look at the ring) taken under an earlier hold of the lock. Since
 * then only the reader moved: head forward, or head and tail back to 0 once
 * it emptied the ring. Anything else was not done by a sound peer, and the
 * bytes must not be published over it. Called with the ring lock held. */
static int publish_at(rb_view* v, uint64_t at, size_t len) {
    int same = v->tail == at && v->end - v->has >= len;
    int emptied = v->has == 0 && at < v->end && len <= v->end;
    if (!same && !emptied) {
        shmi_log(SHM_KIND_ERR,
                 "rb_commit %p: ring moved under a reservation (at %zu, tail %zu, "
                 "has_data %zu), refused\n",
                 (void*)v->rb, (size_t)at, (size_t)v->tail, (size_t)v->has);
        return -EIO;
    }
    if (same) {
        publish(v, len);
    } else {
        /* The reader emptied the ring after the reservation and, as it always
     * does, moved head and tail back to 0. The reserved bytes are still
     * where they were written, so the data starts there. */
        __atomic_store_n(&v->rb->head, at, __ATOMIC_RELEASE);
        __atomic_store_n(&v->rb->tail, (at + len) % v->end, __ATOMIC_RELEASE);
        __atomic_store_n(&v->rb->has_data, len, __ATOMIC_SEQ_CST);
    }
    return 0;
}

/* The copying write takes the lock twice, to find the free bytes and to
 * publish them, and copies in between: the free bytes are the writer's
 * alone, and a reader that wants the lock meanwhile (to take what is
 * already there) is not put to sleep behind a 64 KiB copy. The peer sees
 * the same indices after the call as with one long hold. */
ssize_t shmi_rb_write(shm_membuf* mb, size_t map_size, int ring, const void* src, size_t len) {
    if (mb == NULL || src == NULL || ring < 0 || ring > 1) return -EINVAL;
    if (len == 0) return 0;
    rb_view v;
    int rc = rb_lock(mb, map_size, ring, "rb_write", &v);
    if (rc != 0) return rc;
    shmi_log(SHM_KIND_DBG,
             "rb_write %p beg:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, "
             "has_data %d\n",
             (void*)v.rb, src, (size_t)v.pbuf, (size_t)v.head, (size_t)v.tail, (size_t)v.end, (int)v.has);
    ssize_t result;
    uint64_t n = contiguous_free(&v);
    if (n == 0) {
        result = -ENOSPC;
    } else {
        if (n > len) n = len;
        uint64_t at = v.tail;
        rb_unlock(&v);
        memcpy(v.area + at, src, n);
        rc = rb_lock(mb, map_size, ring, "rb_write", &v);
        if (rc != 0) return rc;
        rc = publish_at(&v, at, n);
        result = rc != 0 ? rc : (ssize_t)n;
    }
    shmi_log(SHM_KIND_DBG,
             "rb_write %p end:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, "
             "has_data %d, result %zd of %zu\n",
             (void*)v.rb, src, (size_t)v.pbuf, (size_t)v.rb->head, (size_t)v.rb->tail, (size_t)v.end,
             (int)v.rb->has_data, result, len);
    rb_unlock(&v);
    wake(mb, ring, 1);
    return result;
}

/* The copying read, like the write, copies between two holds of the lock:
 * unread bytes are the reader's until it releases them. */
ssize_t shmi_rb_read(shm_membuf* mb, size_t map_size, int ring, void* dst, size_t len) {
    if (mb == NULL || dst == NULL || ring < 0 || ring > 1) return -EINVAL;
    /* Nothing to take: in particular a full ring must not look emptied. */
    if (len == 0) return 0;
    rb_view v;
    int rc = rb_lock(mb, map_size, ring, "rb_read", &v);
    if (rc != 0) return rc;
    uint8_t* out = dst;
    shmi_log(SHM_KIND_DBG,
             "rb_read %p beg: buf %p, pbuf %zu, phead %zu, ptail %zu, pend %zu, "
             "has_data %d\n",
             (void*)v.rb, dst, (size_t)v.pbuf, (size_t)v.head, (size_t)v.tail, (size_t)v.end, (int)v.has);
    ssize_t result;
    if (v.has == 0) {
        result = -EAGAIN;
    } else {
        /* The unread bytes run from head, wrapping at end; one call takes both
     * pieces. */
        uint64_t want = len < v.has ? len : v.has;
        uint64_t first = v.end - v.head;
        if (first > want) first = want;
        uint64_t head = v.head;
        rb_unlock(&v);
        memcpy(out, v.area + head, first);
        if (want > first) memcpy(out + first, v.area, want - first);
        rc = rb_lock(mb, map_size, ring, "rb_read", &v);
        if (rc != 0) return rc;
        /* Only this reader moves head while bytes are unread, and the writer
     * only adds to them. */
        if (v.head != head || v.has < want) {
            shmi_log(SHM_KIND_ERR,
                     "rb_read %p: ring moved under a read (head %zu, now %zu, "
                     "has_data %zu), refused\n",
                     (void*)v.rb, (size_t)head, (size_t)v.head, (size_t)v.has);
            result = -EIO;
        } else {
            release(&v, want);
            result = (ssize_t)want;
        }
    }
    shmi_log(SHM_KIND_DBG,
             "rb_read %p end:  buf %p, pbuf %zu, phead %zu , ptail %zu, pend %zu, "
             "has_data %d, result %zd of %zu\n",
             (void*)v.rb, dst, (size_t)v.pbuf, (size_t)v.rb->head, (size_t)v.rb->tail, (size_t)v.end,
             (int)v.rb->has_data, result, len);
    rb_unlock(&v);
    if (result > 0) wake(mb, ring, 0);
    return result;
}

ssize_t shmi_rb_reserve(shm_membuf* mb, size_t map_size, int ring, size_t len, shm_span spans[2], uint64_t* at) {
    if (mb == NULL || spans == NULL || at == NULL || ring < 0 || ring > 1) return -EINVAL;
    rb_view v;
    int rc = rb_lock(mb, map_size, ring, "rb_reserve", &v);
    if (rc != 0) return rc;
    uint64_t free_bytes = v.end - v.has;
    rb_unlock(&v);
    if (free_bytes == 0) return -ENOSPC;
    if (len > free_bytes) len = (size_t)free_bytes;
    /* Free space runs from tail to the end of the area, then from 0 up to
   * head. */
    uint64_t first = v.end - v.tail;
    if (first > len) first = len;
    spans[0].data = v.area + v.tail;
    spans[0].len = (size_t)first;
    /* An empty second span still points into the area, so that a caller's
   * memcpy of zero bytes gets a valid pointer. */
    spans[1].data = v.area;
    spans[1].len = (size_t)(len - first);
    *at = v.tail;
    return (ssize_t)len;
}

int shmi_rb_commit(shm_membuf* mb, size_t map_size, int ring, uint64_t at, size_t reserved, size_t len) {
    if (mb == NULL || ring < 0 || ring > 1 || len > reserved) return -EINVAL;
    if (len == 0) return 0;
    rb_view v;
    int rc = rb_lock(mb, map_size, ring, "rb_commit", &v);
    if (rc != 0) return rc;
    rc = publish_at(&v, at, len);
    rb_unlock(&v);
    if (rc == 0) wake(mb, ring, 1);
    return rc;
}

ssize_t shmi_rb_peek(shm_membuf* mb, size_t map_size, int ring, shm_span spans[2]) {
    if (mb == NULL || spans == NULL || ring < 0 || ring > 1) return -EINVAL;
    rb_view v;
    int rc = rb_lock(mb, map_size, ring, "rb_peek", &v);
    if (rc != 0) return rc;
    rb_unlock(&v);
    uint64_t first = v.end - v.head;
    if (first > v.has) first = v.has;
    spans[0].data = v.area + v.head;
    spans[0].len = (size_t)first;
    spans[1].data = v.area;
    spans[1].len = (size_t)(v.has - first);
    return (ssize_t)v.has;
}

int shmi_rb_consume(shm_membuf* mb, size_t map_size, int ring, size_t len) {
    if (mb == NULL || ring < 0 || ring > 1) return -EINVAL;
    if (len == 0) return 0;
    rb_view v;
    int rc = rb_lock(mb, map_size, ring, "rb_consume", &v);
    if (rc != 0) return rc;
    if (len > v.has) {
        rb_unlock(&v);
        return -EINVAL;
    }
    release(&v, len);
    rb_unlock(&v);
    wake(mb, ring, 0);
    return 0;
}
