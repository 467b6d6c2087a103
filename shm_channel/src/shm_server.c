/* The server endpoint's thread and start. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "shm_endpoint_int.h"


static void srv_relock(shm_endpoint *ep) {
  shm_membuf *mb = ep->mb;
  pthread_mutex_unlock(&mb->srv_lock.mutex);
  /* Let the client's listener, blocked on the server lock, take and release
   * it and so end. */
  usleep(1000);
  shmi_robust_lock(&mb->srv_lock.mutex, NULL);
  if (shmi_mb_flags(mb) & SHM_FLAG_CLI_HUP) {
    /* The client died: give the next one fresh rings, locks and events
     * rather than whatever the dead one left half done. Application threads
     * inside shm_write/shm_read hold the map lock for reading; the rings
     * are rebuilt only once they are out. */
    shmi_ep_set_mapping(ep, NULL, ep->map_size); /* waits for them, hides the rings */
    shmi_mb_unbind(mb);
    __atomic_store_n(&mb->flags, 0, __ATOMIC_RELEASE);
    int rc = shmi_mb_bind(mb, ep->cfg.size);
    shmi_ep_set_mapping(ep, mb, ep->map_size);
    if (rc != 0) {
      shmi_log(SHM_KIND_ERR, "%d: %s\n", -rc, shm_strerror(rc));
      return;
    }
  }
  shmi_log(SHM_KIND_INFO, "hup mutex relocked\n");
}

static void *srv_thread(void *arg) {
  shm_endpoint *ep = arg;
  const shm_config *c = &ep->cfg;
  uint8_t *buf = malloc(c->chunk);
  shm_membuf *mb = NULL;
  int fd = -1;
  if (buf == NULL)
    goto out;
  fd = shmi_open_object(ep->name, O_CREAT | O_EXCL | O_RDWR, c->size);
  if (fd < 0)
    goto out;
  int rc = shmi_map(fd, c->size, &mb);
  if (rc != 0) {
    shmi_log(SHM_KIND_ERR, "%d: %s\n", -rc, shm_strerror(rc));
    close(fd);
    shm_unlink(ep->name);
    goto out;
  }
  rc = shmi_mb_bind(mb, c->size);
  if (rc != 0) {
    munmap(mb, c->size);
    close(fd);
    shm_unlink(ep->name);
    goto out;
  }
  ep->fd = fd;
  shmi_ep_set_mapping(ep, mb, c->size);
  __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
  ep->endpoint_notify(ep);

  int connected = 0;
  int bound = 1;
  shm_endpoint *hup = NULL;
  while (shmi_ep_running(ep)) {
    uint32_t f = shmi_mb_flags(mb);
    /* A hang-up not yet handled counts as gone even if bit 1 was claimed
     * again meanwhile: the rings still hold the dead client's state. */
    int now = (f & SHM_FLAG_CONNECTED) && !(f & SHM_FLAG_CLI_HUP);
    if (now != connected) {
      if (now) {
        if (c->on_connected != NULL)
          c->on_connected(c->user_data, ep);
        hup = shmi_hup_start(ep);
      } else {
        shmi_hup_stop(hup);
        hup = NULL;
        srv_relock(ep);
        if (!shmi_mb_is_bound(mb)) {
          bound = 0;
          if (c->on_disconnected != NULL)
            c->on_disconnected(c->user_data, ep);
          break;
        }
        if (c->on_disconnected != NULL)
          c->on_disconnected(c->user_data, ep);
      }
      connected = now;
    }
    uint64_t count = shmi_rb_unread(mb, 1);
    if (count == 0) {
      shmi_ep_idle_wait(ep, 1);
      continue;
    }
    shmi_ep_deliver(ep, 1, count, buf);
  }
  shmi_log(SHM_KIND_DBG, "shm_srv finished cicle, connected = %d\n",
          shmi_mb_is_connected(mb) ? 1 : 0);
  /* No application call may use the rings while they are torn down. */
  ep->hidden_mb = mb;
  shmi_ep_set_mapping(ep, NULL, ep->map_size);
  if (bound)
    shmi_mb_unbind(mb);
  shmi_hup_stop(hup);
  shmi_ep_release_mapping(ep);
  shm_unlink(ep->name);
  free(buf);
  shmi_ep_thread_end(ep);
  return NULL;

out:
  free(buf);
  /* The start is waiting: it sees running clear and frees the endpoint. */
  ep->endpoint_notify(ep);
  return NULL;
}

shm_endpoint *shm_srv_start(const shm_config *cfg) {
  if (cfg == NULL)
    return NULL;
  shm_endpoint *ep = shmi_ep_create(SHMI_ROLE_SERVER, cfg, NULL);
  if (ep == NULL) {
    shmi_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", ENOMEM,
            strerror(ENOMEM));
    return NULL;
  }
  int rc = pthread_create(&ep->thread, NULL, srv_thread, ep);
  if (rc != 0) {
    shmi_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", rc, strerror(rc));
    shmi_ep_free(ep);
    return NULL;
  }
  ep->endpoint_wait(ep);
  if (shmi_ep_running(ep)) {
    pthread_detach(ep->thread);
    return ep;
  }
  pthread_join(ep->thread, NULL);
  shmi_ep_free(ep);
  return NULL;
}
