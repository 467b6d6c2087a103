/* Robust process-shared locks and the events built on them. */

#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <time.h>

#include "shm_internal.h"

int shmi_lock_init(shm_lock* l) {
    int rc = pthread_mutexattr_init(&l->attr);
    if (rc != 0) return -rc;
    pthread_mutexattr_setpshared(&l->attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&l->attr, PTHREAD_MUTEX_ROBUST);
    rc = pthread_mutex_init(&l->mutex, &l->attr);
    if (rc != 0) {
        pthread_mutexattr_destroy(&l->attr);
        return -rc;
    }
    return 0;
}

void shmi_lock_destroy(shm_lock* l) {
    pthread_mutexattr_destroy(&l->attr);
    pthread_mutex_destroy(&l->mutex);
}

void shmi_lock_retire(shm_lock* l) {
    /* The peer's hang-up listener takes a lock that was just released to learn
   * that its holder left, and may still be taking or releasing it now.
   * Destroying the mutex marks it invalid under that listener (its unlock
   * then fails and leaves the mutex on its robust list); and destroying a
   * process-shared mutex frees nothing. So only the attribute object goes;
   * the next bind or connect initialises the mutex afresh. */
    pthread_mutexattr_destroy(&l->attr);
}

int shmi_robust_lock(pthread_mutex_t* m, int* owner_died) {
    int rc = pthread_mutex_lock(m);
    if (owner_died != NULL) *owner_died = 0;
    if (rc == EOWNERDEAD) {
        /* The holder died inside its critical section. Every critical section
     * of this library leaves the shared words in a state the next holder
     * can trust or repair, so the mutex is taken over rather than left to
     * fail every later lock. */
        pthread_mutex_consistent(m);
        if (owner_died != NULL) *owner_died = 1;
        return 0;
    }
    return -rc;
}

/* Ring and event holders keep their lock for a copy of at most one ring's
 * bytes: far below a second even on a loaded machine. A live holder past
 * this is not slow, it is broken (or hostile: the object is 0666). */
uint64_t shmi_lock_deadline_us = 2000000u;

void shmi_deadline_in(struct timespec* ts, uint64_t us) {
    clock_gettime(CLOCK_REALTIME, ts);
    uint64_t ns = (uint64_t)ts->tv_nsec + (us % 1000000u) * 1000u;
    ts->tv_sec += (time_t)(us / 1000000u + ns / 1000000000u);
    ts->tv_nsec = (long)(ns % 1000000000u);
}

int shmi_lock_timed(pthread_mutex_t* m, int* owner_died) {
    if (owner_died != NULL) *owner_died = 0;
    int rc = pthread_mutex_trylock(m);
    if (rc == EBUSY) {
        struct timespec deadline;
        shmi_deadline_in(&deadline, __atomic_load_n(&shmi_lock_deadline_us, __ATOMIC_RELAXED));
        rc = pthread_mutex_timedlock(m, &deadline);
        if (rc == EOWNERDEAD) SHMI_NOTE_OWNER_DEAD_LOCK(m);
    }
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(m);
        if (owner_died != NULL) *owner_died = 1;
        return 0;
    }
    return -rc;
}

/* The futex word of a glibc mutex holds the owner's thread id and, after
 * the owner died without unlocking, FUTEX_OWNER_DIED. Reading it lets a
 * watcher see "held" or "dead" without touching the mutex itself. */
static int lock_word(const shm_lock* l) {
    return __atomic_load_n(&l->mutex.__data.__lock, __ATOMIC_ACQUIRE);
}

int shmi_lock_owner_died(const shm_lock* l) {
    return (lock_word(l) & FUTEX_OWNER_DIED) != 0;
}

int shmi_lock_owner(const shm_lock* l) {
    return lock_word(l) & FUTEX_TID_MASK;
}

int shmi_lock_taken(const shm_lock* l) {
    return (lock_word(l) & (FUTEX_TID_MASK | FUTEX_OWNER_DIED)) != 0;
}

/* glibc's robust mutex protocol: the word holds the owner's thread id, and
 * FUTEX_WAITERS once someone sleeps on it. An unlock that finds that bit
 * wakes the word's sleepers, and so does the kernel when the owner dies (it
 * sets FUTEX_OWNER_DIED on the words of its robust list). A watcher that
 * sets the bit and sleeps on the word is thus woken by exactly the events a
 * blocked pthread_mutex_lock would be, without a periodic look and without
 * taking the mutex, so it can also be woken on purpose to stop. */
void shmi_lock_wait_change(shm_lock* l, uint64_t max_us) {
    int* word = &l->mutex.__data.__lock;
    int v = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    if ((v & FUTEX_TID_MASK) == 0 || (v & FUTEX_OWNER_DIED) != 0) return;
    if ((v & FUTEX_WAITERS) == 0) {
        int want = v | FUTEX_WAITERS;
        if (!__atomic_compare_exchange_n(word, &v, want, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return;
        v = want;
    }
    struct timespec rel = {(time_t)(max_us / 1000000u), (long)(max_us % 1000000u) * 1000};
    /* Shared futex (no FUTEX_PRIVATE_FLAG): the owner is another process. */
    syscall(SYS_futex, word, FUTEX_WAIT, v, &rel, NULL, 0);
}

void shmi_lock_wake_watchers(shm_lock* l) {
    syscall(SYS_futex, &l->mutex.__data.__lock, FUTEX_WAKE, INT_MAX, NULL, NULL, 0);
}

int shmi_event_init(shm_event* ev) {
    int rc = shmi_lock_init(&ev->lock);
    if (rc != 0) return rc;
    rc = pthread_condattr_init(&ev->cond_attr);
    if (rc != 0) {
        shmi_lock_destroy(&ev->lock);
        return -rc;
    }
    pthread_condattr_setpshared(&ev->cond_attr, PTHREAD_PROCESS_SHARED);
    rc = pthread_cond_init(&ev->cond, &ev->cond_attr);
    if (rc != 0) {
        pthread_condattr_destroy(&ev->cond_attr);
        shmi_lock_destroy(&ev->lock);
        return -rc;
    }
    __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
    return 0;
}

void shmi_event_destroy(shm_event* ev) {
    pthread_condattr_destroy(&ev->cond_attr);
    pthread_cond_destroy(&ev->cond);
    shmi_lock_destroy(&ev->lock);
    __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
}

struct data_or_stop {
    const uint64_t* has_data;
    const uint8_t* keep_going;
};

static int data_or_stop(const void* arg) {
    const struct data_or_stop* d = arg;
    return (d->has_data != NULL && __atomic_load_n(d->has_data, __ATOMIC_SEQ_CST) != 0) ||
           (d->keep_going != NULL && __atomic_load_n(d->keep_going, __ATOMIC_ACQUIRE) == 0);
}

int shmi_event_wait(shm_event* ev, const uint64_t* has_data) {
    return shmi_event_wait_while(ev, has_data, NULL);
}

int shmi_event_wait_while(shm_event* ev, const uint64_t* has_data, const uint8_t* keep_going) {
    struct data_or_stop d = {has_data, keep_going};
    return shmi_event_wait_for(ev, 1000000u, data_or_stop, &d);
}

int shmi_event_wait_for(shm_event* ev, uint64_t wait_us, shmi_ready_fn ready, const void* arg) {
    int rc = shmi_lock_timed(&ev->lock.mutex, NULL);
    if (rc != 0) return rc;
    if (__atomic_load_n(&ev->waiting, __ATOMIC_RELAXED)) {
        pthread_mutex_unlock(&ev->lock.mutex);
        return -1;
    }
    /* Sequentially consistent, as are the signaller's publication and its
   * look at the mark: either the signaller sees the mark, or the check
   * below sees what it published before looking. */
    __atomic_store_n(&ev->waiting, 1, __ATOMIC_SEQ_CST);
    if (ready != NULL && ready(arg)) {
        __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
        pthread_mutex_unlock(&ev->lock.mutex);
        return 0;
    }
    struct timespec deadline;
    shmi_deadline_in(&deadline, wait_us);
    /* The condition variable belongs to the object's creator (possibly the
   * host agent): its clock is the default one, so the deadline is on the
   * real-time clock. */
    rc = pthread_cond_timedwait(&ev->cond, &ev->lock.mutex, &deadline);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&ev->lock.mutex);
        rc = 0;
    }
    __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&ev->lock.mutex);
    return rc;
}

int shmi_event_signal(shm_event* ev) {
    /* Only a marked waiter is ever signalled, and a waiter marks itself and
   * then re-checks its condition (the fence above). So when the mark is
   * clear after this fence there is nobody to wake, and the event mutex
   * need not be taken: that keeps a peer holding it out of the data path
   * and saves two atomic operations per transfer. (The publication before
   * this call and this load are sequentially consistent.) */
    if (!__atomic_load_n(&ev->waiting, __ATOMIC_SEQ_CST)) return -1;
    int died = 0;
    int rc = shmi_lock_timed(&ev->lock.mutex, &died);
    if (rc != 0) return rc;
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
