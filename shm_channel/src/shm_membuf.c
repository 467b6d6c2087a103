/* The control block: robust locks, events, bind/connect and the two rings. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "shm_layout.h"

/* ---- robust locks ------------------------------------------------------ */

int shm_lock_init(shm_lock *l) {
  int rc = pthread_mutexattr_init(&l->attr);
  if (rc != 0)
    return -rc;
  pthread_mutexattr_setpshared(&l->attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&l->attr, PTHREAD_MUTEX_ROBUST);
  rc = pthread_mutex_init(&l->mutex, &l->attr);
  if (rc != 0) {
    pthread_mutexattr_destroy(&l->attr);
    return -rc;
  }
  return 0;
}

void shm_lock_destroy(shm_lock *l) {
  pthread_mutexattr_destroy(&l->attr);
  pthread_mutex_destroy(&l->mutex);
}

int shm_robust_lock(pthread_mutex_t *m, int *owner_died) {
  int rc = pthread_mutex_lock(m);
  if (owner_died != NULL)
    *owner_died = 0;
  if (rc == EOWNERDEAD) {
    /* The holder died inside its critical section. Every critical section
     * of this library leaves the shared words in a state the next holder
     * can trust or repair, so the mutex is taken over rather than left to
     * fail every later lock. */
    pthread_mutex_consistent(m);
    if (owner_died != NULL)
      *owner_died = 1;
    return 0;
  }
  return -rc;
}

/* The futex word of a glibc mutex holds the owner's thread id and, after
 * the owner died without unlocking, FUTEX_OWNER_DIED. Reading it lets a
 * watcher see "held" or "dead" without touching the mutex itself. */
static int lock_word(const shm_lock *l) {
  return __atomic_load_n(&l->mutex.__data.__lock, __ATOMIC_ACQUIRE);
}

int shm_lock_owner_died(const shm_lock *l) {
  return (lock_word(l) & FUTEX_OWNER_DIED) != 0;
}

int shm_lock_taken(const shm_lock *l) {
  return (lock_word(l) & (FUTEX_TID_MASK | FUTEX_OWNER_DIED)) != 0;
}

/* ---- events ------------------------------------------------------------ */

int shm_event_init(shm_event *ev) {
  int rc = shm_lock_init(&ev->lock);
  if (rc != 0)
    return rc;
  rc = pthread_condattr_init(&ev->cond_attr);
  if (rc != 0) {
    shm_lock_destroy(&ev->lock);
    return -rc;
  }
  pthread_condattr_setpshared(&ev->cond_attr, PTHREAD_PROCESS_SHARED);
  rc = pthread_cond_init(&ev->cond, &ev->cond_attr);
  if (rc != 0) {
    pthread_condattr_destroy(&ev->cond_attr);
    shm_lock_destroy(&ev->lock);
    return -rc;
  }
  __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
  return 0;
}

void shm_event_destroy(shm_event *ev) {
  pthread_condattr_destroy(&ev->cond_attr);
  pthread_cond_destroy(&ev->cond);
  shm_lock_destroy(&ev->lock);
  __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
}

int event_wait(shm_event *ev, const uint64_t *has_data) {
  return event_wait_while(ev, has_data, NULL);
}

int event_wait_while(shm_event *ev, const uint64_t *has_data,
                     const uint8_t *keep_going) {
  int rc = shm_robust_lock(&ev->lock.mutex, NULL);
  if (rc != 0)
    return rc;
  if (__atomic_load_n(&ev->waiting, __ATOMIC_RELAXED)) {
    pthread_mutex_unlock(&ev->lock.mutex);
    return -1;
  }
  __atomic_store_n(&ev->waiting, 1, __ATOMIC_RELAXED);
  /* Data published before a writer took this mutex is visible now; data
   * published later comes with a signal, since the writer will see the
   * waiting mark. */
  if ((has_data != NULL && __atomic_load_n(has_data, __ATOMIC_ACQUIRE) != 0) ||
      (keep_going != NULL && __atomic_load_n(keep_going, __ATOMIC_ACQUIRE) == 0)) {
    __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&ev->lock.mutex);
    return 0;
  }
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 1;
  rc = pthread_cond_timedwait(&ev->cond, &ev->lock.mutex, &deadline);
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&ev->lock.mutex);
    rc = 0;
  }
  __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
  pthread_mutex_unlock(&ev->lock.mutex);
  return rc;
}

int event_signal(shm_event *ev) {
  int died = 0;
  int rc = shm_robust_lock(&ev->lock.mutex, &died);
  if (rc != 0)
    return rc;
  if (died) {
    /* The reader died inside the event's critical section: the condition
     * variable may hold its half-done state, and signalling it could block
     * for good. Leave the mark clear; the peer is gone anyway. */
    __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&ev->lock.mutex);
    return -EOWNERDEAD;
  }
  if (__atomic_load_n(&ev->waiting, __ATOMIC_RELAXED))
    rc = pthread_cond_signal(&ev->cond) == 0 ? 0 : -1;
  else
    rc = -1;
  pthread_mutex_unlock(&ev->lock.mutex);
  return rc;
}

/* ---- flags ------------------------------------------------------------- */

uint32_t mb_flags(const shm_membuf *mb) {
  return __atomic_load_n(&mb->flags, __ATOMIC_ACQUIRE);
}

int mb_is_bound(const shm_membuf *mb) {
  return (mb_flags(mb) & SHM_FLAG_BOUND) != 0;
}

int mb_is_connected(const shm_membuf *mb) {
  return (mb_flags(mb) & SHM_FLAG_CONNECTED) != 0;
}

uint64_t rb_unread(const shm_membuf *mb, int ring) {
  return __atomic_load_n(&mb->rb[ring & 1].has_data, __ATOMIC_ACQUIRE);
}

int mb_reader_dead(const shm_membuf *mb, int ring) {
  uint32_t f = mb_flags(mb);
  if (ring == 0) /* read by the client */
    return (f & SHM_FLAG_CLI_HUP) != 0 || shm_lock_owner_died(&mb->cli_lock);
  return (f & SHM_FLAG_SRV_HUP) != 0 || shm_lock_owner_died(&mb->srv_lock);
}

/* ---- server bind ------------------------------------------------------- */

static void rb_log_state(const char *fmt, shm_ringbuf *rb) {
  shm_log(SHM_KIND_DBG, fmt, (void *)rb, (size_t)rb->pbuf, (ssize_t)rb->head,
          (ssize_t)rb->tail, (ssize_t)rb->end, (void *)&rb->req);
}

static int rb_bind(shm_ringbuf *rb, uint64_t pbuf, uint64_t end) {
  int rc = shm_lock_init(&rb->lock);
  if (rc != 0)
    return rc;
  rc = shm_event_init(&rb->req);
  if (rc != 0) {
    shm_lock_destroy(&rb->lock);
    return rc;
  }
  rb->pbuf = pbuf;
  rb->end = end;
  rb->head = rb->tail = rb->has_data = 0;
  rb_log_state("rb %p bind: pbuf %zu head %zd tail %zd end %zd , req %p\n",
               rb);
  return 0;
}

static void rb_unbind(shm_membuf *mb, int ring) {
  shm_ringbuf *rb = &mb->rb[ring];
  /* A reader that died while waiting leaves the condition variable in use
   * (and its mark set), and destroying it would wait for that reader for
   * ever. Destroying is only bookkeeping for a process-shared condition
   * variable; the next bind initialises a fresh one anyway. */
  int keep_event = (ring == 0 && mb_reader_dead(mb, 0)) ||
                   __atomic_load_n(&rb->req.waiting, __ATOMIC_ACQUIRE) != 0;
  if (!keep_event)
    shm_event_destroy(&rb->req);
  __atomic_store_n(&rb->req.waiting, 0, __ATOMIC_RELAXED);
  shm_lock_destroy(&rb->lock);
  shm_log(SHM_KIND_DBG, "rb %p unbind\n", (void *)rb);
}

int mb_bind(shm_membuf *mb, uint64_t size) {
  if (mb == NULL || size < SHM_MIN_SIZE)
    return -EINVAL;
  if (mb_flags(mb) & (SHM_FLAG_BOUND | SHM_FLAG_CONNECTED)) {
    shm_log(SHM_KIND_ERR, "already binded, aborted\n");
    return -EBUSY;
  }
  memset(mb, 0, sizeof *mb);
  mb->magic = SHM_MAGIC;
  int rc = shm_lock_init(&mb->srv_lock);
  if (rc != 0)
    return rc;
  uint64_t k = shm_ring_capacity(size);
  rc = rb_bind(&mb->rb[0], SHM_MEMBUF_SIZE, k);
  if (rc != 0) {
    shm_lock_destroy(&mb->srv_lock);
    return rc;
  }
  rc = rb_bind(&mb->rb[1], SHM_MEMBUF_SIZE + k, k);
  if (rc != 0) {
    rb_unbind(mb, 0);
    shm_lock_destroy(&mb->srv_lock);
    return rc;
  }
  mb->size = size;
  /* Hold the server lock before announcing the bind: a client's hang-up
   * listener must never find it free while the server is alive. */
  rc = shm_robust_lock(&mb->srv_lock.mutex, NULL);
  if (rc != 0) {
    rb_unbind(mb, 1);
    rb_unbind(mb, 0);
    shm_lock_destroy(&mb->srv_lock);
    return rc;
  }
  __atomic_store_n(&mb->flags, SHM_FLAG_BOUND, __ATOMIC_RELEASE);
  shm_log(SHM_KIND_INFO, "mb %p bind shm_membuf_size %zu\n", (void *)mb,
          (size_t)SHM_MEMBUF_SIZE);
  return 0;
}

void mb_unbind(shm_membuf *mb) {
  uint32_t before = __atomic_fetch_and(&mb->flags, ~SHM_FLAG_BOUND,
                                       __ATOMIC_ACQ_REL);
  if ((before & SHM_FLAG_CONNECTED) && !mb_reader_dead(mb, 0))
    event_signal(&mb->rb[0].req);
  pthread_mutex_unlock(&mb->srv_lock.mutex);
  rb_unbind(mb, 1);
  rb_unbind(mb, 0);
  shm_lock_destroy(&mb->srv_lock);
  shm_log(SHM_KIND_INFO, "mb %p unbind\n", (void *)mb);
}

/* ---- client connect ---------------------------------------------------- */

int mb_connect(shm_membuf *mb, uint64_t size) {
  if (mb == NULL)
    return -EINVAL;
  uint32_t f = mb_flags(mb);
  if (!(f & SHM_FLAG_BOUND))
    return SHM_ERR_NOT_READY;
  /* A client hang-up the server has not handled yet means the server is
   * about to rebuild the rings: wait for that like for a busy channel. */
  if (f & (SHM_FLAG_CONNECTED | SHM_FLAG_CLI_HUP))
    return SHM_ERR_ALREADY_CONNECTED;
  /* Claim atomically: of two clients racing here only one wins. */
  uint32_t before = __atomic_fetch_or(&mb->flags, SHM_FLAG_CONNECTED,
                                      __ATOMIC_ACQ_REL);
  if (before & SHM_FLAG_CONNECTED)
    return SHM_ERR_ALREADY_CONNECTED;
  if (!(before & SHM_FLAG_BOUND)) {
    __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
    return SHM_ERR_NOT_READY;
  }
  if (mb->magic != SHM_MAGIC) {
    __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
    return SHM_ERR_BAD_MAGIC;
  }
  if (mb->size != size) {
    __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
    return SHM_ERR_BAD_SIZE;
  }
  for (int i = 0; i < 2; i++)
    rb_log_state("rb %p connect: pbuf %zu head %zd tail %zd end %zd , req %p\n",
                 &mb->rb[i]);
  int rc = shm_lock_init(&mb->cli_lock);
  if (rc == 0) {
    rc = shm_robust_lock(&mb->cli_lock.mutex, NULL);
    if (rc != 0)
      shm_lock_destroy(&mb->cli_lock);
  }
  if (rc != 0) {
    for (int i = 0; i < 2; i++)
      shm_log(SHM_KIND_DBG, "rb %p disconnect\n", (void *)&mb->rb[i]);
    __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
    return rc;
  }
  for (int i = 0; i < 2; i++)
    rb_log_state("rb %p connected : pbuf %zu phead %zd ptail %zd pend %zd , "
                 "req %p\n",
                 &mb->rb[i]);
  shm_log(SHM_KIND_INFO, "mb %p connected\n", (void *)mb);
  return 0;
}

void mb_disconnect(shm_membuf *mb) {
  __atomic_fetch_and(&mb->flags, ~SHM_FLAG_CONNECTED, __ATOMIC_ACQ_REL);
  pthread_mutex_unlock(&mb->cli_lock.mutex);
  for (int i = 0; i < 2; i++)
    shm_log(SHM_KIND_DBG, "rb %p disconnect\n", (void *)&mb->rb[i]);
  shm_log(SHM_KIND_INFO, "mb %p disconnected\n", (void *)mb);
}

void mb_destroy_client_lock(shm_membuf *mb) { shm_lock_destroy(&mb->cli_lock); }

/* ---- rings ------------------------------------------------------------- */

/*
 * Index discipline, so that a holder killed anywhere inside rb_write or
 * rb_read leaves words the next holder can repair: the writer stores tail
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
  int rc = shm_robust_lock(&rb->lock.mutex, &died);
  if (rc != 0)
    return rc;
  if (died) {
    rb_repair(rb);
    shm_log(SHM_KIND_INFO, "%s %p: recovered ring lock of a dead holder\n", op,
            (void *)rb);
  }
  if (!rb_sane(rb, map_size)) {
    shm_log(SHM_KIND_ERR,
            "%s %p: inconsistent ring (pbuf %zu head %zu tail %zu end %zu "
            "has_data %zu), refused\n",
            op, (void *)rb, (size_t)rb->pbuf, (size_t)rb->head,
            (size_t)rb->tail, (size_t)rb->end, (size_t)rb->has_data);
    pthread_mutex_unlock(&rb->lock.mutex);
    return -EIO;
  }
  return 0;
}

ssize_t rb_write(shm_membuf *mb, size_t map_size, int ring, const void *src,
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
  shm_log(SHM_KIND_DBG,
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
  shm_log(SHM_KIND_DBG,
          "rb_write %p end:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, "
          "has_data %d, result %zd of %zu\n",
          (void *)rb, src, (size_t)rb->pbuf, (size_t)rb->head,
          (size_t)rb->tail, (size_t)rb->end, (int)rb->has_data, result, len);
  pthread_mutex_unlock(&rb->lock.mutex);
  /* A reader known to be dead may have left the condition variable in a
   * state where signalling it never returns; it needs no wake-up anyway. */
  if (!mb_reader_dead(mb, ring))
    event_signal(&rb->req);
  return result;
}

ssize_t rb_read(shm_membuf *mb, size_t map_size, int ring, void *dst,
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
  shm_log(SHM_KIND_DBG,
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
  shm_log(SHM_KIND_DBG,
          "rb_read %p end:  buf %p, pbuf %zu, phead %zu , ptail %zu, pend %zu, "
          "has_data %d, result %zd of %zu\n",
          (void *)rb, dst, (size_t)rb->pbuf, (size_t)rb->head,
          (size_t)rb->tail, (size_t)rb->end, (int)rb->has_data, result, len);
  pthread_mutex_unlock(&rb->lock.mutex);
  return result;
}

/* ---- the object -------------------------------------------------------- */

int shm_open_object(const char *name, int oflag, size_t size) {
  int fd = shm_open(name, oflag | O_CLOEXEC, 0666);
  int err = errno;
  /* The peer may run as another user: open the object up to 0666 without
   * touching the umask, which is per process and would race with other
   * threads creating files or sockets. */
  if (fd >= 0 && (oflag & O_CREAT))
    (void)fchmod(fd, 0666);
  if (fd < 0) {
    if (err != ENOENT)
      shm_log(SHM_KIND_ERR, "error opening '%s' (%d): %s\n", name, err,
              strerror(err));
    return -err;
  }
  if (size != 0 && ftruncate(fd, (off_t)size) != 0) {
    err = errno;
    shm_log(SHM_KIND_ERR, "error opening&truncating '%s' (%d): %s\n", name,
            err, strerror(err));
    close(fd);
    shm_unlink(name);
    return -err;
  }
  return fd;
}

int shm_map(int fd, size_t size, shm_membuf **out) {
  if (fd < 0 || out == NULL)
    return -EINVAL;
  if (size < SHM_MIN_SIZE)
    return SHM_ERR_BAD_SIZE;
  void *p = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED)
    return -1;
  *out = p;
  return 0;
}

/* ---- texts and defaults ------------------------------------------------ */

const char *shm_strerror(int code) {
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

void shm_config_init(shm_config *cfg) {
  if (cfg == NULL)
    return;
  memset(cfg, 0, sizeof *cfg);
  cfg->name = SHM_DEFAULT_NAME;
  cfg->timeout_us = SHM_DEFAULT_TIMEOUT_US;
  cfg->size = SHM_DEFAULT_SIZE;
  cfg->chunk = SHM_DEFAULT_CHUNK;
}
