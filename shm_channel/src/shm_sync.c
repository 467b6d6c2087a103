/* Robust process-shared locks and the events built on them. */

#define _GNU_SOURCE
#include <errno.h>
#include <linux/futex.h>
#include <time.h>

#include "shm_internal.h"


int shmi_lock_init(shm_lock *l) {
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

void shmi_lock_destroy(shm_lock *l) {
  pthread_mutexattr_destroy(&l->attr);
  pthread_mutex_destroy(&l->mutex);
}

int shmi_robust_lock(pthread_mutex_t *m, int *owner_died) {
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

int shmi_lock_owner_died(const shm_lock *l) {
  return (lock_word(l) & FUTEX_OWNER_DIED) != 0;
}

int shmi_lock_taken(const shm_lock *l) {
  return (lock_word(l) & (FUTEX_TID_MASK | FUTEX_OWNER_DIED)) != 0;
}


int shmi_event_init(shm_event *ev) {
  int rc = shmi_lock_init(&ev->lock);
  if (rc != 0)
    return rc;
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

void shmi_event_destroy(shm_event *ev) {
  pthread_condattr_destroy(&ev->cond_attr);
  pthread_cond_destroy(&ev->cond);
  shmi_lock_destroy(&ev->lock);
  __atomic_store_n(&ev->waiting, 0, __ATOMIC_RELAXED);
}

int shmi_event_wait(shm_event *ev, const uint64_t *has_data) {
  return shmi_event_wait_while(ev, has_data, NULL);
}

int shmi_event_wait_while(shm_event *ev, const uint64_t *has_data,
                     const uint8_t *keep_going) {
  int rc = shmi_robust_lock(&ev->lock.mutex, NULL);
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

int shmi_event_signal(shm_event *ev) {
  int died = 0;
  int rc = shmi_robust_lock(&ev->lock.mutex, &died);
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
