/* The two rings: copying reads and writes, index validation and repair. */

#define _GNU_SOURCE
#include <errno.h>
#include <string.h>

#include "shm_internal.h"


/*
 * Index discipline, so that a holder killed anywhere inside shmi_rb_write or
 * shmi_rb_read leaves words the next holder can repair: the writer stores tail
 * before has_data; the reader stores head before has_data, and a read that
 * empties the ring clears has_data first. With that order, "has_data == 0"
 * always means empty, and otherwise the distance from head to tail is the
 * truth (a zero distance meaning full).
 */
static void rb_repair(shm_ringbuf *rb) {
  uint64_t end = rb->end, head = rb->head, tail = rb->tail;
  uint64_t has = rb->has_data;
  if (end == 0 || head >= end || tail >= end)
    return; /* geometry is checked by the caller */
  if (has == 0) {
    rb->head = rb->tail = 0;
  } else {
    uint64_t d = (tail + end - head) % end;
    __atomic_store_n(&rb->has_data, d == 0 ? end : d, __ATOMIC_RELEASE);
  }
}

static int rb_sane(const shm_ringbuf *rb, size_t map_size) {
  uint64_t end = rb->end, pbuf = rb->pbuf;
  if (end == 0 || pbuf < SHM_MEMBUF_SIZE || pbuf > map_size ||
      end > map_size - pbuf)
    return 0;
  uint64_t head = rb->head, tail = rb->tail, has = rb->has_data;
  if (head >= end || tail >= end || has > end)
    return 0;
  uint64_t d = (tail + end - head) % end;
  if (d == 0)
    return has == 0 || has == end;
  return has == d;
}

/* Takes the ring lock, recovering from a holder that died. */
static int rb_lock(shm_ringbuf *rb, size_t map_size, const char *op) {
  int died = 0;
  int rc = shmi_robust_lock(&rb->lock.mutex, &died);
  if (rc != 0)
    return rc;
  if (died) {
    rb_repair(rb);
    shmi_log(SHM_KIND_INFO, "%s %p: recovered ring lock of a dead holder\n", op,
            (void *)rb);
  }
  if (!rb_sane(rb, map_size)) {
    shmi_log(SHM_KIND_ERR,
            "%s %p: inconsistent ring (pbuf %zu head %zu tail %zu end %zu "
            "has_data %zu), refused\n",
            op, (void *)rb, (size_t)rb->pbuf, (size_t)rb->head,
            (size_t)rb->tail, (size_t)rb->end, (size_t)rb->has_data);
    pthread_mutex_unlock(&rb->lock.mutex);
    return -EIO;
  }
  return 0;
}

ssize_t shmi_rb_write(shm_membuf *mb, size_t map_size, int ring, const void *src,
                 size_t len) {
  if (mb == NULL || src == NULL || ring < 0 || ring > 1)
    return -EINVAL;
  if (len == 0)
    return 0;
  shm_ringbuf *rb = &mb->rb[ring];
  int rc = rb_lock(rb, map_size, "rb_write");
  if (rc != 0)
    return rc;
  uint64_t head = rb->head, tail = rb->tail, end = rb->end;
  uint64_t has = rb->has_data;
  uint8_t *area = (uint8_t *)mb + rb->pbuf;
  shmi_log(SHM_KIND_DBG,
          "rb_write %p beg:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, "
          "has_data %d\n",
          (void *)rb, src, (size_t)rb->pbuf, (size_t)head, (size_t)tail,
          (size_t)end, (int)has);
  ssize_t result;
  uint64_t n;
  if (head > tail) {
    n = head - tail;
  } else if (head == tail && has != 0) {
    n = 0;
  } else {
    n = end - tail;
  }
  if (n == 0) {
    result = -ENOSPC;
  } else {
    if (n > len)
      n = len;
    memcpy(area + tail, src, n);
    uint64_t new_tail = tail + n;
    if (new_tail == end)
      new_tail = 0;
    __atomic_store_n(&rb->tail, new_tail, __ATOMIC_RELEASE);
    __atomic_store_n(&rb->has_data, has + n, __ATOMIC_RELEASE);
    result = (ssize_t)n;
  }
  shmi_log(SHM_KIND_DBG,
          "rb_write %p end:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, "
          "has_data %d, result %zd of %zu\n",
          (void *)rb, src, (size_t)rb->pbuf, (size_t)rb->head,
          (size_t)rb->tail, (size_t)rb->end, (int)rb->has_data, result, len);
  pthread_mutex_unlock(&rb->lock.mutex);
  /* A reader known to be dead may have left the condition variable in a
   * state where signalling it never returns; it needs no wake-up anyway. */
  if (!shmi_mb_reader_dead(mb, ring))
    shmi_event_signal(&rb->req);
  return result;
}

ssize_t shmi_rb_read(shm_membuf *mb, size_t map_size, int ring, void *dst,
                size_t len) {
  if (mb == NULL || dst == NULL || ring < 0 || ring > 1)
    return -EINVAL;
  /* Nothing to take: in particular a full ring must not look emptied. */
  if (len == 0)
    return 0;
  shm_ringbuf *rb = &mb->rb[ring];
  int rc = rb_lock(rb, map_size, "rb_read");
  if (rc != 0)
    return rc;
  uint64_t head = rb->head, tail = rb->tail, end = rb->end;
  uint64_t has = rb->has_data;
  const uint8_t *area = (const uint8_t *)mb + rb->pbuf;
  uint8_t *out = dst;
  shmi_log(SHM_KIND_DBG,
          "rb_read %p beg: buf %p, pbuf %zu, phead %zu, ptail %zu, pend %zu, "
          "has_data %d\n",
          (void *)rb, dst, (size_t)rb->pbuf, (size_t)head, (size_t)tail,
          (size_t)end, (int)has);
  ssize_t result;
  if (head == tail && has == 0) {
    result = -EAGAIN;
  } else {
    uint64_t copied = 0;
    if (head < tail) {
      uint64_t n = tail - head;
      if (n > len)
        n = len;
      memcpy(out, area + head, n);
      copied = n;
      head += n;
    } else {
      uint64_t n = end - head;
      if (n > len)
        n = len;
      memcpy(out, area + head, n);
      copied = n;
      head += n;
      if (head == end) {
        head = 0;
        uint64_t m = len - copied;
        if (m > tail)
          m = tail;
        memcpy(out + copied, area, m);
        copied += m;
        head += m;
      }
    }
    if (head == end)
      head = 0;
    if (head == tail) {
      /* Emptied: clear the count first (see the index discipline). */
      __atomic_store_n(&rb->has_data, 0, __ATOMIC_RELEASE);
      __atomic_store_n(&rb->head, 0, __ATOMIC_RELEASE);
      __atomic_store_n(&rb->tail, 0, __ATOMIC_RELEASE);
    } else {
      __atomic_store_n(&rb->head, head, __ATOMIC_RELEASE);
      __atomic_store_n(&rb->has_data, has - copied, __ATOMIC_RELEASE);
    }
    result = (ssize_t)copied;
  }
  shmi_log(SHM_KIND_DBG,
          "rb_read %p end:  buf %p, pbuf %zu, phead %zu , ptail %zu, pend %zu, "
          "has_data %d, result %zd of %zu\n",
          (void *)rb, dst, (size_t)rb->pbuf, (size_t)rb->head,
          (size_t)rb->tail, (size_t)rb->end, (int)rb->has_data, result, len);
  pthread_mutex_unlock(&rb->lock.mutex);
  return result;
}
