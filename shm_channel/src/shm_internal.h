/*
 * Functions shared between the library's units. All of them are hidden: both
 * daemons and the host simulator link the library, and none of these names
 * may clash with theirs or become part of a program's symbol table.
 * Private to the library and its tests.
 */
#ifndef SHM_CHANNEL_SHM_INTERNAL_H
#define SHM_CHANNEL_SHM_INTERNAL_H

#include "shm_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

#pragma GCC visibility push(hidden)

/* Capacity of each ring for an object of `size` bytes. */
static inline uint64_t shmi_ring_capacity(uint64_t size) {
  return size < SHM_MEMBUF_SIZE ? 0 : (size - SHM_MEMBUF_SIZE) / 2;
}

/* Locks and events. Results are 0 or a negated errno value. */
int shmi_lock_init(shm_lock *l);
void shmi_lock_destroy(shm_lock *l);
/*
 * Locks a robust mutex. An owner that died is recovered (the mutex is made
 * consistent) and reported through *owner_died when given.
 * -ENOTRECOVERABLE when an earlier holder gave the mutex up.
 */
int shmi_robust_lock(pthread_mutex_t *m, int *owner_died);
int shmi_event_init(shm_event *ev);
void shmi_event_destroy(shm_event *ev);
/*
 * Waits at most one second for a signal. When `has_data` is given, the wait
 * is skipped if it is non-zero once `waiting` is set: a writer publishes its
 * data before it takes the event mutex to signal, so no signal is missed.
 * Returns 0 (signalled or data present), ETIMEDOUT, -1 when another reader
 * is already marked waiting, or a negated errno value.
 */
int shmi_event_wait(shm_event *ev, const uint64_t *has_data);
/* As shmi_event_wait, and also skipped once *keep_going (a byte read atomically)
 * is 0: whoever clears it and then signals cannot be missed either. */
int shmi_event_wait_while(shm_event *ev, const uint64_t *has_data,
                     const uint8_t *keep_going);
/* Signals a waiting reader. 0, -1 when none waits, or a negated errno. */
int shmi_event_signal(shm_event *ev);

/* Server side. */
int shmi_mb_bind(shm_membuf *mb, uint64_t size);
void shmi_mb_unbind(shm_membuf *mb);
/* Client side. */
int shmi_mb_connect(shm_membuf *mb, uint64_t size);
void shmi_mb_disconnect(shm_membuf *mb);
void shmi_mb_destroy_client_lock(shm_membuf *mb);

/*
 * Ring transfers on ring 0 or 1. `map_size` is the length of the caller's
 * mapping: indices read from shared memory are checked against it, so a
 * corrupt control block cannot make a copy leave the mapping.
 * shmi_rb_write: bytes written (never wraps in one call), -ENOSPC when full.
 * shmi_rb_read: bytes read (wraps), -EAGAIN when empty. Both: -EIO when the ring's
 * indices are inconsistent, -ENOTRECOVERABLE for a dead ring lock.
 */
ssize_t shmi_rb_write(shm_membuf *mb, size_t map_size, int ring, const void *src,
                 size_t len);
ssize_t shmi_rb_read(shm_membuf *mb, size_t map_size, int ring, void *dst,
                size_t len);

/* Unlocked readers. */
uint32_t shmi_mb_flags(const shm_membuf *mb);
int shmi_mb_is_bound(const shm_membuf *mb);
int shmi_mb_is_connected(const shm_membuf *mb);
uint64_t shmi_rb_unread(const shm_membuf *mb, int ring);
/* 1 when the reader of `ring` is known to have died. */
int shmi_mb_reader_dead(const shm_membuf *mb, int ring);
/* 1 when the robust mutex's owner died and nobody recovered it yet. */
int shmi_lock_owner_died(const shm_lock *l);
/* 1 when some thread (of any process) holds the mutex or its owner died. */
int shmi_lock_taken(const shm_lock *l);

/*
 * Opens the object (close-on-exec, mode 0666 with umask 0 around the call)
 * and, when size is not 0, truncates it. Returns the descriptor or a negated
 * errno value; a missing object is not logged.
 */
int shmi_open_object(const char *name, int oflag, size_t size);
/* Maps size bytes shared read-write. 0 or a negative code. */
int shmi_map(int fd, size_t size, shm_membuf **out);

/* Logger used throughout the library. */
enum { SHM_KIND_ERR = 0, SHM_KIND_INFO = 1, SHM_KIND_DBG = 2 };
void shmi_log(int kind, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
int shmi_log_debug_enabled(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
