/*
 * Functions shared between the library's units. All of them are hidden: both
 * daemons and the host simulator link the library, and none of these names
 * may clash with theirs or become part of a program's symbol table.
 * Private to the library and its tests.
 */
#ifndef SHM_CHANNEL_SHM_INTERNAL_H
#define SHM_CHANNEL_SHM_INTERNAL_H

#include <time.h>

#include "shm_layout.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
/* ThreadSanitizer records a timed lock only when it returns 0; tell it about
 * the lock that an EOWNERDEAD result also hands over. */
#define SHMI_NOTE_OWNER_DEAD_LOCK(m)       \
    do {                                   \
        __tsan_mutex_pre_lock((m), 0);     \
        __tsan_mutex_post_lock((m), 0, 0); \
    } while (0)
#else
#define SHMI_NOTE_OWNER_DEAD_LOCK(m) ((void)(m))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#pragma GCC visibility push(hidden)

/* Capacity of each ring for an object of `size` bytes. */
static inline uint64_t shmi_ring_capacity(uint64_t size) {
    return size < SHM_MEMBUF_SIZE ? 0 : (size - SHM_MEMBUF_SIZE) / 2;
}

/* Locks and events. Results are 0 or a negated errno value. */
int shmi_lock_init(shm_lock* l);
void shmi_lock_destroy(shm_lock* l);
/* Ends our use of a lock a peer may be watching: see shm_sync.c. */
void shmi_lock_retire(shm_lock* l);
/*
 * Locks a robust mutex. An owner that died is recovered (the mutex is made
 * consistent) and reported through *owner_died when given.
 * -ENOTRECOVERABLE when an earlier holder gave the mutex up.
 */
int shmi_robust_lock(pthread_mutex_t* m, int* owner_died);
/*
 * Locks a mutex another process can hold, waiting at most
 * shmi_lock_deadline_us. 0 (an owner that died is recovered and reported
 * through *owner_died), -ETIMEDOUT when a live holder kept it past the
 * deadline (a broken peer), or another negated errno value.
 */
int shmi_lock_timed(pthread_mutex_t* m, int* owner_died);
/* How long a lock a peer can hold is waited for; tests lower it. */
extern uint64_t shmi_lock_deadline_us;
/* The longest an idle reader whose peer is watched and signals sleeps
 * before it looks at its ring unasked (shm_endpoint.c); tests change it. */
extern uint64_t shmi_idle_backstop_us;
/* *ts = now + us on the real-time clock (the clock of timed locks). */
void shmi_deadline_in(struct timespec* ts, uint64_t us);
int shmi_event_init(shm_event* ev);
void shmi_event_destroy(shm_event* ev);
/*
 * Waits at most one second for a signal. When `has_data` is given, the wait
 * is skipped if it is non-zero once `waiting` is set: a writer publishes its
 * data before it takes the event mutex to signal, so no signal is missed.
 * Returns 0 (signalled or data present), ETIMEDOUT, -1 when another reader
 * is already marked waiting, or a negated errno value.
 */
int shmi_event_wait(shm_event* ev, const uint64_t* has_data);
/* As shmi_event_wait, and also skipped once *keep_going (a byte read atomically)
 * is 0: whoever clears it and then signals cannot be missed either. */
int shmi_event_wait_while(shm_event* ev, const uint64_t* has_data, const uint8_t* keep_going);
/*
 * The general wait: marks the event, and unless ready(arg) already holds,
 * waits up to wait_us for a signal. 0 (signalled or ready), ETIMEDOUT, -1
 * when another waiter holds the mark, -ETIMEDOUT when a peer held the
 * event's mutex past the lock deadline, or another negated errno value.
 */
typedef int (*shmi_ready_fn)(const void* arg);
int shmi_event_wait_for(shm_event* ev, uint64_t wait_us, shmi_ready_fn ready, const void* arg);
/* Signals a waiting reader. 0, -1 when none waits, or a negated errno. */
int shmi_event_signal(shm_event* ev);

/* Server side. */
int shmi_mb_bind(shm_membuf* mb, uint64_t size);
void shmi_mb_unbind(shm_membuf* mb);
/* Client side. */
int shmi_mb_connect(shm_membuf* mb, uint64_t size);
void shmi_mb_disconnect(shm_membuf* mb);
void shmi_mb_destroy_client_lock(shm_membuf* mb);

/*
 * Ring transfers on ring 0 or 1. `map_size` is the length of the caller's
 * mapping: indices read from shared memory are checked against it, so a
 * corrupt control block cannot make a copy leave the mapping. All of them
 * may return -ETIMEDOUT (a live peer held the ring lock past the deadline)
 * and -EIO (indices no sound peer writes): both mean a broken peer.
 *
 * shmi_rb_write: bytes written (never wraps in one call), -ENOSPC when full.
 * shmi_rb_read: bytes read (wraps), -EAGAIN when empty. It wakes a writer
 * that waits for space.
 */
ssize_t shmi_rb_write(shm_membuf* mb, size_t map_size, int ring, const void* src, size_t len);
ssize_t shmi_rb_read(shm_membuf* mb, size_t map_size, int ring, void* dst, size_t len);
/*
 * In place. Reserve: up to len bytes of free space as one or two spans, the
 * tail they start at in *at; the count, or -ENOSPC when full. Nothing is
 * visible to the reader until commit publishes the first len of the
 * `reserved` bytes written from `at` (and wakes the reader). Peek: the
 * unread bytes as one or two spans and their count (0 when empty); consume
 * releases the first len of them (at most what is unread) and wakes a
 * writer waiting for space. No lock is held between the two halves.
 */
ssize_t shmi_rb_reserve(shm_membuf* mb, size_t map_size, int ring, size_t len, shm_span spans[2], uint64_t* at);
int shmi_rb_commit(shm_membuf* mb, size_t map_size, int ring, uint64_t at, size_t reserved, size_t len);
ssize_t shmi_rb_peek(shm_membuf* mb, size_t map_size, int ring, shm_span spans[2]);
int shmi_rb_consume(shm_membuf* mb, size_t map_size, int ring, size_t len);

/* Unlocked readers. */
uint32_t shmi_mb_flags(const shm_membuf* mb);
int shmi_mb_is_bound(const shm_membuf* mb);
int shmi_mb_is_connected(const shm_membuf* mb);
uint64_t shmi_rb_unread(const shm_membuf* mb, int ring);
/* 1 when the reader of `ring` is known to have died. */
int shmi_mb_reader_dead(const shm_membuf* mb, int ring);
/* 1 when the reader (reader != 0) or the writer of `ring` is known dead. */
int shmi_mb_side_dead(const shm_membuf* mb, int ring, int reader);
/* 1 when the robust mutex's owner died and nobody recovered it yet. */
int shmi_lock_owner_died(const shm_lock* l);
/* The thread id holding the mutex (0 when free). */
int shmi_lock_owner(const shm_lock* l);
/* 1 when some thread (of any process) holds the mutex or its owner died. */
int shmi_lock_taken(const shm_lock* l);
/* Sleeps until the mutex held by another thread is released, its holder
 * dies, shmi_lock_wake_watchers is called on it, or max_us passes, without
 * taking it; returns at once when it is free or owner-dead already, or when
 * its word changed while the wait was being set up. The caller looks at the
 * mutex again afterwards. */
void shmi_lock_wait_change(shm_lock* l, uint64_t max_us);
/* Ends every shmi_lock_wait_change sleeping on `l` (and wakes glibc's own
 * waiters, which look again and sleep on). */
void shmi_lock_wake_watchers(shm_lock* l);

/*
 * Opens the object (close-on-exec, mode 0666 with umask 0 around the call)
 * and, when size is not 0, truncates it. Returns the descriptor or a negated
 * errno value; a missing object is not logged.
 */
int shmi_open_object(const char* name, int oflag, size_t size);
/* Maps size bytes shared read-write. 0 or a negative code. */
int shmi_map(int fd, size_t size, shm_membuf** out);

/* Logger used throughout the library. */
enum { SHM_KIND_ERR = 0, SHM_KIND_INFO = 1, SHM_KIND_DBG = 2 };
void shmi_log(int kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int shmi_log_debug_enabled(void);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif
