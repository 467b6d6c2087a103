/* The public calls that are not a thread: stop, read and write, texts, defaults. */

#define _GNU_SOURCE
#include <errno.h>
#include <string.h>

#include "shm_endpoint_int.h"


int shm_stop(shm_endpoint *ep) {
  if (ep == NULL || (ep->role != SHMI_ROLE_SERVER && ep->role != SHMI_ROLE_CLIENT))
    return -EINVAL;
  if (pthread_equal(pthread_self(), ep->thread)) {
    /* Called from a callback: the thread cannot wait for itself, so it
     * frees the endpoint when it ends. */
    __atomic_store_n(&ep->self_free, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&ep->running, 0, __ATOMIC_RELEASE);
    return 0;
  }
  if (__atomic_exchange_n(&ep->running, 0, __ATOMIC_ACQ_REL) == 1) {
    shmi_ep_wake_pause(ep);
    pthread_rwlock_rdlock(&ep->map_lock);
    if (ep->mb != NULL) {
      if (ep->role == SHMI_ROLE_SERVER)
        shmi_event_signal(&ep->mb->rb[1].req);
      else if (shmi_mb_is_connected(ep->mb))
        shmi_event_signal(&ep->mb->rb[0].req);
    }
    pthread_rwlock_unlock(&ep->map_lock);
    ep->endpoint_wait(ep);
  }
  shmi_ep_free(ep);
  return 0;
}

static int ep_ring(const shm_endpoint *ep, int writing) {
  if (ep->role == SHMI_ROLE_SERVER)
    return writing ? 0 : 1;
  if (ep->role == SHMI_ROLE_CLIENT)
    return writing ? 1 : 0;
  return -1;
}

ssize_t shm_write(shm_endpoint *ep, const void *data, size_t len) {
  if (ep == NULL || data == NULL)
    return -EINVAL;
  int ring = ep_ring(ep, 1);
  if (ring < 0)
    return -EINVAL;
  pthread_rwlock_rdlock(&ep->map_lock);
  ssize_t r = ep->mb == NULL ? -EINVAL
                             : shmi_rb_write(ep->mb, ep->map_size, ring, data, len);
  pthread_rwlock_unlock(&ep->map_lock);
  return r;
}

ssize_t shm_read(shm_endpoint *ep, void *buf, size_t len) {
  if (ep == NULL || buf == NULL)
    return -EINVAL;
  int ring = ep_ring(ep, 0);
  if (ring < 0)
    return -EINVAL;
  pthread_rwlock_rdlock(&ep->map_lock);
  ssize_t r = ep->mb == NULL ? -EINVAL
                             : shmi_rb_read(ep->mb, ep->map_size, ring, buf, len);
  pthread_rwlock_unlock(&ep->map_lock);
  return r;
}


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
