/* What the endpoint threads share: creation, rendezvous, pauses, delivery. */

#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "shm_endpoint_int.h"

int shmi_ep_running(shm_endpoint *ep) {
  return __atomic_load_n(&ep->running, __ATOMIC_ACQUIRE);
}


static void rv_wait(shm_endpoint *ep) {
  pthread_mutex_lock(&ep->rv_mutex);
  if (__atomic_load_n(&ep->rv_flag, __ATOMIC_ACQUIRE)) {
    pthread_mutex_unlock(&ep->rv_mutex);
    return;
  }
  __atomic_store_n(&ep->rv_flag, 1, __ATOMIC_RELEASE);
  while (__atomic_load_n(&ep->rv_flag, __ATOMIC_ACQUIRE))
    pthread_cond_wait(&ep->rv_cond, &ep->rv_mutex);
  pthread_mutex_unlock(&ep->rv_mutex);
}

static void rv_notify(shm_endpoint *ep) {
  while (!__atomic_load_n(&ep->rv_flag, __ATOMIC_ACQUIRE))
    usleep(1000);
  pthread_mutex_lock(&ep->rv_mutex);
  __atomic_store_n(&ep->rv_flag, 0, __ATOMIC_RELEASE);
  pthread_cond_signal(&ep->rv_cond);
  /* The waiter may free the endpoint as soon as this unlock lets it go. */
  pthread_mutex_unlock(&ep->rv_mutex);
}


shm_endpoint *shmi_ep_create(int role, const shm_config *cfg,
                                     shm_endpoint *parent) {
  shm_endpoint *ep = calloc(1, sizeof *ep);
  if (ep == NULL)
    return NULL;
  if (role != SHMI_ROLE_HUP) {
    ep->cfg = *cfg;
    ep->name = strdup(cfg->name != NULL ? cfg->name : SHM_DEFAULT_NAME);
    if (ep->name == NULL) {
      shmi_log(SHM_KIND_ERR, "error while copy control object data");
      free(ep);
      return NULL;
    }
    ep->cfg.name = ep->name;
    if (ep->cfg.chunk == 0)
      ep->cfg.chunk = SHM_DEFAULT_CHUNK;
  }
  ep->role = role;
  ep->fd = -1;
  ep->parent = parent;
  pthread_mutex_init(&ep->rv_mutex, NULL);
  pthread_cond_init(&ep->rv_cond, NULL);
  pthread_rwlock_init(&ep->map_lock, NULL);
  pthread_mutex_init(&ep->pause_mutex, NULL);
  pthread_condattr_t ca;
  pthread_condattr_init(&ca);
  pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
  pthread_cond_init(&ep->pause_cond, &ca);
  pthread_condattr_destroy(&ca);
  ep->endpoint_wait = rv_wait;
  ep->endpoint_notify = rv_notify;
  __atomic_store_n(&ep->running, 0, __ATOMIC_RELAXED);
  if (role == SHMI_ROLE_SERVER)
    snprintf(ep->text, sizeof ep->text, "%s %s", "shm_srv", ep->name);
  else if (role == SHMI_ROLE_CLIENT)
    snprintf(ep->text, sizeof ep->text, "%s %s", "shm_cli", ep->name);
  else
    snprintf(ep->text, sizeof ep->text, "%s", "shm_hup_listener");
  shmi_log(SHM_KIND_DBG, "created %s %p\n", ep->text, (void *)ep);
  return ep;
}

void shmi_ep_free(shm_endpoint *ep) {
  pthread_mutex_destroy(&ep->rv_mutex);
  pthread_cond_destroy(&ep->rv_cond);
  pthread_rwlock_destroy(&ep->map_lock);
  pthread_mutex_destroy(&ep->pause_mutex);
  pthread_cond_destroy(&ep->pause_cond);
  shmi_log(SHM_KIND_DBG, "destroyed %s %p\n", ep->text, (void *)ep);
  free(ep->name);
  free(ep);
}

void shmi_ep_set_mapping(shm_endpoint *ep, shm_membuf *mb, size_t size) {
  pthread_rwlock_wrlock(&ep->map_lock);
  ep->mb = mb;
  ep->map_size = size;
  pthread_rwlock_unlock(&ep->map_lock);
}

/* Unmaps and closes; the endpoint's own thread only. */
void shmi_ep_release_mapping(shm_endpoint *ep) {
  shm_membuf *mb = ep->mb;
  size_t size = ep->map_size;
  if (mb == NULL && ep->role == SHMI_ROLE_SERVER && ep->fd >= 0) {
    /* A stopping server has already hidden its mapping. */
    mb = ep->hidden_mb;
  }
  shmi_ep_set_mapping(ep, NULL, 0);
  if (mb != NULL)
    munmap(mb, size);
  if (ep->fd >= 0)
    close(ep->fd);
  ep->fd = -1;
}

/* Sleeps timeout_us, to the microsecond, or until the endpoint is stopped.
 * Periods under SHMI_MIN_PAUSE_US are raised to it so that a client
 * configured with 0 retries quickly without spinning on a core. */
void shmi_ep_pause(shm_endpoint *ep) {
  uint64_t us = ep->cfg.timeout_us;
  if (us < SHMI_MIN_PAUSE_US)
    us = SHMI_MIN_PAUSE_US;
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  uint64_t ns = (uint64_t)deadline.tv_nsec + (us % 1000000u) * 1000u;
  deadline.tv_sec += (time_t)(us / 1000000u + ns / 1000000000u);
  deadline.tv_nsec = (long)(ns % 1000000000u);
  pthread_mutex_lock(&ep->pause_mutex);
  while (shmi_ep_running(ep)) {
    if (pthread_cond_timedwait(&ep->pause_cond, &ep->pause_mutex, &deadline) ==
        ETIMEDOUT)
      break;
  }
  pthread_mutex_unlock(&ep->pause_mutex);
}

void shmi_ep_wake_pause(shm_endpoint *ep) {
  pthread_mutex_lock(&ep->pause_mutex);
  pthread_cond_broadcast(&ep->pause_cond);
  pthread_mutex_unlock(&ep->pause_mutex);
}

/* Waits for data on `ring`, at most a second. When the event cannot be
 * waited on (another reader's stale mark, a broken mutex), a short sleep
 * keeps the loop from spinning. */
void shmi_ep_idle_wait(shm_endpoint *ep, int ring) {
  shm_ringbuf *rb = &ep->mb->rb[ring];
  int rc = shmi_event_wait_while(&rb->req, &rb->has_data, &ep->running);
  if (rc != 0 && rc != ETIMEDOUT)
    usleep(10000);
}

/* With no data callback at all: wait for the next write or a second. */
static void idle_wait_unconsumed(shm_endpoint *ep, int ring) {
  int rc = shmi_event_wait_while(&ep->mb->rb[ring].req, NULL, &ep->running);
  if (rc != 0 && rc != ETIMEDOUT)
    usleep(10000);
}

/* Hands received data to the application; ring is the one this side reads. */
void shmi_ep_deliver(shm_endpoint *ep, int ring, uint64_t count, uint8_t *buf) {
  const shm_config *c = &ep->cfg;
  if (c->on_data != NULL) {
    size_t n = count < c->chunk ? (size_t)count : c->chunk;
    ssize_t r = shmi_rb_read(ep->mb, ep->map_size, ring, buf, n);
    if (r > 0)
      c->on_data(c->user_data, ep, buf, (size_t)r);
    else if (r < 0 && r != -EAGAIN)
      usleep(10000); /* a broken ring: do not spin on it */
  } else if (c->on_data_available != NULL) {
    c->on_data_available(c->user_data, ep,
                         count > UINT32_MAX ? UINT32_MAX : (uint32_t)count);
    /* Data left unread: look again shortly rather than at once. (Waiting
     * on the event here could miss the signal of a write that lands while
     * the count happens to be unchanged.) */
    if (shmi_rb_unread(ep->mb, ring) == count)
      usleep(1000);
  } else {
    idle_wait_unconsumed(ep, ring);
  }
}


/* Ends an endpoint thread. Exactly one of the thread and shm_stop sees
 * `running` go from 1 to 0; only when shm_stop did is anybody waiting for
 * the notify. */
void shmi_ep_thread_end(shm_endpoint *ep) {
  if (__atomic_exchange_n(&ep->running, 0, __ATOMIC_ACQ_REL) == 1)
    return; /* ended on its own: shm_stop will not wait */
  if (__atomic_load_n(&ep->self_free, __ATOMIC_ACQUIRE))
    shmi_ep_free(ep);
  else
    ep->endpoint_notify(ep);
}
