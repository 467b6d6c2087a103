/*
 * The control block inside the shared object and the operations on it.
 *
 * The layout is a binary contract with peers built elsewhere (the host
 * agent): every size and offset below is checked by the compiler. Private to
 * the library and its tests.
 */
#ifndef SHM_CHANNEL_SHM_LAYOUT_H
#define SHM_CHANNEL_SHM_LAYOUT_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <shm_channel/shm_channel.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct shm_lock {
  pthread_mutex_t mutex;    /* process-shared, robust */
  pthread_mutexattr_t attr; /* lives beside its mutex */
  uint8_t pad[4];
} shm_lock;

typedef struct shm_event {
  shm_lock lock; /* the event's mutex, its attribute and padding */
  pthread_cond_t cond;
  pthread_condattr_t cond_attr;
  uint8_t waiting; /* 1 while a reader waits on cond */
  uint8_t pad[3];
} shm_event;

typedef struct shm_ringbuf {
  uint64_t pbuf;     /* data area offset from the start of the object */
  uint64_t head;     /* next byte to read */
  uint64_t tail;     /* next byte to write */
  uint64_t end;      /* capacity */
  uint64_t has_data; /* unread bytes; tells full from empty when head == tail */
  shm_lock lock;
  shm_event req; /* signalled after every write */
} shm_ringbuf;

typedef struct shm_membuf {
  uint32_t flags; /* SHM_FLAG_* */
  uint32_t magic; /* "orva" */
  uint64_t size;  /* object size as bound by the server */
  shm_lock srv_lock;
  shm_lock cli_lock;
  shm_ringbuf rb[2]; /* 0: server -> client, 1: client -> server */
} shm_membuf;

#define SHM_FLAG_BOUND 1u     /* server bound */
#define SHM_FLAG_CONNECTED 2u /* client connected */
#define SHM_FLAG_SRV_HUP 4u   /* server died (set by the client's listener) */
#define SHM_FLAG_CLI_HUP 8u   /* client died (set by the server's listener) */

/* The bytes 'o' 'r' 'v' 'a' read as one little-endian word. */
#define SHM_MAGIC 0x6176726fu

#define SHM_STATIC_ASSERT(c, m) _Static_assert(c, m)
#ifdef __cplusplus
#undef SHM_STATIC_ASSERT
#define SHM_STATIC_ASSERT(c, m) static_assert(c, m)
#endif

SHM_STATIC_ASSERT(sizeof(pthread_mutex_t) == 40, "mutex is 40 bytes");
SHM_STATIC_ASSERT(sizeof(pthread_mutexattr_t) == 4, "mutex attr is 4 bytes");
SHM_STATIC_ASSERT(sizeof(pthread_cond_t) == 48, "cond is 48 bytes");
SHM_STATIC_ASSERT(sizeof(pthread_condattr_t) == 4, "cond attr is 4 bytes");

SHM_STATIC_ASSERT(sizeof(shm_lock) == 48, "shm_lock size");
SHM_STATIC_ASSERT(offsetof(shm_lock, mutex) == 0, "shm_lock.mutex");
SHM_STATIC_ASSERT(offsetof(shm_lock, attr) == 40, "shm_lock.attr");

SHM_STATIC_ASSERT(sizeof(shm_event) == 104, "shm_event size");
SHM_STATIC_ASSERT(offsetof(shm_event, lock) == 0, "shm_event.mutex");
SHM_STATIC_ASSERT(offsetof(shm_event, lock.attr) == 40, "shm_event.attr");
SHM_STATIC_ASSERT(offsetof(shm_event, cond) == 48, "shm_event.cond");
SHM_STATIC_ASSERT(offsetof(shm_event, cond_attr) == 96, "shm_event.cond_attr");
SHM_STATIC_ASSERT(offsetof(shm_event, waiting) == 100, "shm_event.waiting");

SHM_STATIC_ASSERT(sizeof(shm_ringbuf) == 192, "shm_ringbuf size");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, pbuf) == 0, "shm_ringbuf.pbuf");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, head) == 8, "shm_ringbuf.head");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, tail) == 16, "shm_ringbuf.tail");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, end) == 24, "shm_ringbuf.end");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, has_data) == 32, "shm_ringbuf.has_data");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, lock) == 40, "shm_ringbuf.lock");
SHM_STATIC_ASSERT(offsetof(shm_ringbuf, req) == 88, "shm_ringbuf.req");

SHM_STATIC_ASSERT(sizeof(shm_membuf) == 496, "shm_membuf size");
SHM_STATIC_ASSERT(sizeof(shm_membuf) == SHM_MEMBUF_SIZE, "public constant");
SHM_STATIC_ASSERT(offsetof(shm_membuf, flags) == 0, "shm_membuf.flags");
SHM_STATIC_ASSERT(offsetof(shm_membuf, magic) == 4, "shm_membuf.magic");
SHM_STATIC_ASSERT(offsetof(shm_membuf, size) == 8, "shm_membuf.size");
SHM_STATIC_ASSERT(offsetof(shm_membuf, srv_lock) == 16, "shm_membuf.srv_lock");
SHM_STATIC_ASSERT(offsetof(shm_membuf, cli_lock) == 64, "shm_membuf.cli_lock");
SHM_STATIC_ASSERT(offsetof(shm_membuf, rb) == 112, "shm_membuf.rb[0]");
SHM_STATIC_ASSERT(offsetof(shm_membuf, rb) + sizeof(shm_ringbuf) == 304,
                  "shm_membuf.rb[1]");

/* Capacity of each ring for an object of `size` bytes. */
static inline uint64_t shm_ring_capacity(uint64_t size) {
  return size < SHM_MEMBUF_SIZE ? 0 : (size - SHM_MEMBUF_SIZE) / 2;
}

/* Locks and events. Results are 0 or a negated errno value. */
int shm_lock_init(shm_lock *l);
void shm_lock_destroy(shm_lock *l);
/*
 * Locks a robust mutex. An owner that died is recovered (the mutex is made
 * consistent) and reported through *owner_died when given.
 * -ENOTRECOVERABLE when an earlier holder gave the mutex up.
 */
int shm_robust_lock(pthread_mutex_t *m, int *owner_died);
int shm_event_init(shm_event *ev);
void shm_event_destroy(shm_event *ev);
/*
 * Waits at most one second for a signal. When `has_data` is given, the wait
 * is skipped if it is non-zero once `waiting` is set: a writer publishes its
 * data before it takes the event mutex to signal, so no signal is missed.
 * Returns 0 (signalled or data present), ETIMEDOUT, -1 when another reader
 * is already marked waiting, or a negated errno value.
 */
int event_wait(shm_event *ev, const uint64_t *has_data);
/* As event_wait, and also skipped once *keep_going (a byte read atomically)
 * is 0: whoever clears it and then signals cannot be missed either. */
int event_wait_while(shm_event *ev, const uint64_t *has_data,
                     const uint8_t *keep_going);
/* Signals a waiting reader. 0, -1 when none waits, or a negated errno. */
int event_signal(shm_event *ev);

/* Server side. */
int mb_bind(shm_membuf *mb, uint64_t size);
void mb_unbind(shm_membuf *mb);
/* Client side. */
int mb_connect(shm_membuf *mb, uint64_t size);
void mb_disconnect(shm_membuf *mb);
void mb_destroy_client_lock(shm_membuf *mb);

/*
 * Ring transfers on ring 0 or 1. `map_size` is the length of the caller's
 * mapping: indices read from shared memory are checked against it, so a
 * corrupt control block cannot make a copy leave the mapping.
 * rb_write: bytes written (never wraps in one call), -ENOSPC when full.
 * rb_read: bytes read (wraps), -EAGAIN when empty. Both: -EIO when the ring's
 * indices are inconsistent, -ENOTRECOVERABLE for a dead ring lock.
 */
ssize_t rb_write(shm_membuf *mb, size_t map_size, int ring, const void *src,
                 size_t len);
ssize_t rb_read(shm_membuf *mb, size_t map_size, int ring, void *dst,
                size_t len);

/* Unlocked readers. */
uint32_t mb_flags(const shm_membuf *mb);
int mb_is_bound(const shm_membuf *mb);
int mb_is_connected(const shm_membuf *mb);
uint64_t rb_unread(const shm_membuf *mb, int ring);
/* 1 when the reader of `ring` is known to have died. */
int mb_reader_dead(const shm_membuf *mb, int ring);
/* 1 when the robust mutex's owner died and nobody recovered it yet. */
int shm_lock_owner_died(const shm_lock *l);
/* 1 when some thread (of any process) holds the mutex or its owner died. */
int shm_lock_taken(const shm_lock *l);

/*
 * Opens the object (close-on-exec, mode 0666 with umask 0 around the call)
 * and, when size is not 0, truncates it. Returns the descriptor or a negated
 * errno value; a missing object is not logged.
 */
int shm_open_object(const char *name, int oflag, size_t size);
/* Maps size bytes shared read-write. 0 or a negative code. */
int shm_map(int fd, size_t size, shm_membuf **out);

/* Logger used throughout the library. */
enum { SHM_KIND_ERR = 0, SHM_KIND_INFO = 1, SHM_KIND_DBG = 2 };
void shm_log(int kind, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
int shm_log_debug_enabled(void);

#ifdef __cplusplus
}
#endif

#endif
