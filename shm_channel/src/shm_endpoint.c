/* Endpoints: the server and client threads, the hang-up listener, the
 * rendezvous between a thread and the one that collects it, and the public
 * read/write calls. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "shm_layout.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
/* ThreadSanitizer records a timed lock only when it returns 0; tell it about
 * the lock that an EOWNERDEAD result also hands over. */
#define NOTE_OWNER_DEAD_LOCK(m)                                                \
  do {                                                                         \
    __tsan_mutex_pre_lock((m), 0);                                             \
    __tsan_mutex_post_lock((m), 0, 0);                                         \
  } while (0)
#else
#define NOTE_OWNER_DEAD_LOCK(m) ((void)(m))
#endif

enum { ROLE_SERVER = 0, ROLE_CLIENT = 1, ROLE_HUP = 2 };

struct shm_endpoint {
  pthread_t thread;
  /* rendezvous */
  pthread_mutex_t rv_mutex;
  pthread_cond_t rv_cond;
  uint8_t rv_flag;
  uint8_t running;
  void (*endpoint_wait)(shm_endpoint *);
  void (*endpoint_notify)(shm_endpoint *);
  char text[256];
  int fd;
  shm_config cfg;
  int role;
  shm_membuf *mb;
  /* ---- beyond the classic record ---- */
  size_t map_size;
  char *name; /* our copy of cfg.name */
  /* Held for reading around every use of mb from outside the endpoint's own
   * thread, and for writing while that thread maps or unmaps. */
  pthread_rwlock_t map_lock;
  /* Lets shm_stop cut a pause short. */
  pthread_mutex_t pause_mutex;
  pthread_cond_t pause_cond;
  /* Set when shm_stop ran on the endpoint's own thread (from a callback):
   * the thread then frees the endpoint itself. */
  uint8_t self_free;
  /* A listener's parent (for its text and flags). */
  shm_endpoint *parent;
  /* A stopping server's mapping, still to be unmapped. */
  shm_membuf *hidden_mb;
  /* Object seen "not ready" at the previous client attempt. */
  int stale_valid;
  dev_t stale_dev;
  ino_t stale_ino;
};

static int is_running(shm_endpoint *ep) {
  return __atomic_load_n(&ep->running, __ATOMIC_ACQUIRE);
}

/* ---- rendezvous -------------------------------------------------------- */

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

/* ---- creation ---------------------------------------------------------- */

static shm_endpoint *endpoint_create(int role, const shm_config *cfg,
                                     shm_endpoint *parent) {
  shm_endpoint *ep = calloc(1, sizeof *ep);
  if (ep == NULL)
    return NULL;
  if (role != ROLE_HUP) {
    ep->cfg = *cfg;
    ep->name = strdup(cfg->name != NULL ? cfg->name : SHM_DEFAULT_NAME);
    if (ep->name == NULL) {
      shm_log(SHM_KIND_ERR, "error while copy control object data");
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
  if (role == ROLE_SERVER)
    snprintf(ep->text, sizeof ep->text, "%s %s", "shm_srv", ep->name);
  else if (role == ROLE_CLIENT)
    snprintf(ep->text, sizeof ep->text, "%s %s", "shm_cli", ep->name);
  else
    snprintf(ep->text, sizeof ep->text, "%s", "shm_hup_listener");
  shm_log(SHM_KIND_DBG, "created %s %p\n", ep->text, (void *)ep);
  return ep;
}

static void endpoint_free(shm_endpoint *ep) {
  pthread_mutex_destroy(&ep->rv_mutex);
  pthread_cond_destroy(&ep->rv_cond);
  pthread_rwlock_destroy(&ep->map_lock);
  pthread_mutex_destroy(&ep->pause_mutex);
  pthread_cond_destroy(&ep->pause_cond);
  shm_log(SHM_KIND_DBG, "destroyed %s %p\n", ep->text, (void *)ep);
  free(ep->name);
  free(ep);
}

static void set_mapping(shm_endpoint *ep, shm_membuf *mb, size_t size) {
  pthread_rwlock_wrlock(&ep->map_lock);
  ep->mb = mb;
  ep->map_size = size;
  pthread_rwlock_unlock(&ep->map_lock);
}

/* Unmaps and closes; the endpoint's own thread only. */
static void release_mapping(shm_endpoint *ep) {
  shm_membuf *mb = ep->mb;
  size_t size = ep->map_size;
  if (mb == NULL && ep->role == ROLE_SERVER && ep->fd >= 0) {
    /* A stopping server has already hidden its mapping. */
    mb = ep->hidden_mb;
  }
  set_mapping(ep, NULL, 0);
  if (mb != NULL)
    munmap(mb, size);
  if (ep->fd >= 0)
    close(ep->fd);
  ep->fd = -1;
}

/* Sleeps the whole seconds of timeout_us (its low 32 bits), or until the
 * endpoint is stopped. */
static void pause_retry(shm_endpoint *ep) {
  uint32_t us = (uint32_t)ep->cfg.timeout_us;
  if (us < 1000000u)
    return;
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += us / 1000000u;
  pthread_mutex_lock(&ep->pause_mutex);
  while (is_running(ep)) {
    if (pthread_cond_timedwait(&ep->pause_cond, &ep->pause_mutex, &deadline) ==
        ETIMEDOUT)
      break;
  }
  pthread_mutex_unlock(&ep->pause_mutex);
}

static void wake_pause(shm_endpoint *ep) {
  pthread_mutex_lock(&ep->pause_mutex);
  pthread_cond_broadcast(&ep->pause_cond);
  pthread_mutex_unlock(&ep->pause_mutex);
}

/* Waits for data on `ring`, at most a second. When the event cannot be
 * waited on (another reader's stale mark, a broken mutex), a short sleep
 * keeps the loop from spinning. */
static void idle_wait(shm_endpoint *ep, int ring) {
  shm_ringbuf *rb = &ep->mb->rb[ring];
  int rc = event_wait_while(&rb->req, &rb->has_data, &ep->running);
  if (rc != 0 && rc != ETIMEDOUT)
    usleep(10000);
}

/* With no data callback at all: wait for the next write or a second. */
static void idle_wait_unconsumed(shm_endpoint *ep, int ring) {
  int rc = event_wait_while(&ep->mb->rb[ring].req, NULL, &ep->running);
  if (rc != 0 && rc != ETIMEDOUT)
    usleep(10000);
}

/* Hands received data to the application; ring is the one this side reads. */
static void deliver(shm_endpoint *ep, int ring, uint64_t count, uint8_t *buf) {
  const shm_config *c = &ep->cfg;
  if (c->on_data != NULL) {
    size_t n = count < c->chunk ? (size_t)count : c->chunk;
    ssize_t r = rb_read(ep->mb, ep->map_size, ring, buf, n);
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
    if (rb_unread(ep->mb, ring) == count)
      usleep(1000);
  } else {
    idle_wait_unconsumed(ep, ring);
  }
}

/* ---- hang-up listener -------------------------------------------------- */

static void *hup_thread(void *arg) {
  shm_endpoint *ep = arg;
  shm_membuf *mb = ep->mb;
  int watch_client = ep->parent->role == ROLE_SERVER;
  shm_lock *watched = watch_client ? &mb->cli_lock : &mb->srv_lock;
  uint32_t peer_bit = watch_client ? SHM_FLAG_CONNECTED : SHM_FLAG_BOUND;
  uint32_t hup_bit = watch_client ? SHM_FLAG_CLI_HUP : SHM_FLAG_SRV_HUP;
  int seen_taken = 0;

  shm_log(SHM_KIND_DBG, "started hup listener\n");
  while (is_running(ep)) {
    if (!seen_taken) {
      /* The peer announces itself in flags before it takes its lock. Until
       * the lock is taken it must not be touched: it may not even be
       * initialised, and taking it now would hide the peer's death. */
      if (!shm_lock_taken(watched)) {
        if (!(mb_flags(mb) & peer_bit))
          break; /* the peer left (or gave up) before we saw it hold it */
        usleep(1000);
        continue;
      }
      seen_taken = 1;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 200 * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec++;
      deadline.tv_nsec -= 1000000000L;
    }
    int rc = pthread_mutex_timedlock(&watched->mutex, &deadline);
    if (rc == ETIMEDOUT)
      continue;
    if (rc == EOWNERDEAD) {
      NOTE_OWNER_DEAD_LOCK(&watched->mutex);
      __atomic_fetch_and(&mb->flags, ~peer_bit, __ATOMIC_ACQ_REL);
      __atomic_fetch_or(&mb->flags, hup_bit, __ATOMIC_ACQ_REL);
      pthread_mutex_consistent(&watched->mutex);
      pthread_mutex_unlock(&watched->mutex);
      break;
    }
    if (rc == 0) {
      pthread_mutex_unlock(&watched->mutex);
      break; /* released normally */
    }
    /* A destroyed or unrecoverable lock: nothing left to watch. */
    break;
  }
  shm_log(SHM_KIND_DBG, "finished hup listener\n");
  ep->endpoint_notify(ep);
  return NULL;
}

static shm_endpoint *hup_start(shm_endpoint *parent) {
  if (parent->role != ROLE_SERVER && parent->role != ROLE_CLIENT)
    return NULL;
  shm_endpoint *ep = endpoint_create(ROLE_HUP, NULL, parent);
  if (ep == NULL) {
    int err = errno != 0 ? errno : ENOMEM;
    shm_log(SHM_KIND_ERR, "%s error creating hup listener (%d): %sr",
            parent->text, err, strerror(err));
    return NULL;
  }
  ep->mb = parent->mb;
  ep->map_size = parent->map_size;
  __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
  int rc = pthread_create(&ep->thread, NULL, hup_thread, ep);
  if (rc != 0) {
    shm_log(SHM_KIND_ERR, "%s error starting hup listener (%d): %s",
            parent->text, rc, strerror(rc));
    endpoint_free(ep);
    return NULL;
  }
  pthread_detach(ep->thread);
  return ep;
}

static void hup_stop(shm_endpoint *hup) {
  if (hup == NULL)
    return;
  __atomic_store_n(&hup->running, 0, __ATOMIC_RELEASE);
  hup->endpoint_wait(hup);
  endpoint_free(hup);
}

/* ---- ending of endpoint threads ---------------------------------------- */

/* Ends an endpoint thread. Exactly one of the thread and shm_stop sees
 * `running` go from 1 to 0; only when shm_stop did is anybody waiting for
 * the notify. */
static void thread_end(shm_endpoint *ep) {
  if (__atomic_exchange_n(&ep->running, 0, __ATOMIC_ACQ_REL) == 1)
    return; /* ended on its own: shm_stop will not wait */
  if (__atomic_load_n(&ep->self_free, __ATOMIC_ACQUIRE))
    endpoint_free(ep);
  else
    ep->endpoint_notify(ep);
}

/* ---- server ------------------------------------------------------------ */

static void srv_relock(shm_endpoint *ep) {
  shm_membuf *mb = ep->mb;
  pthread_mutex_unlock(&mb->srv_lock.mutex);
  /* Let the client's listener, blocked on the server lock, take and release
   * it and so end. */
  usleep(1000);
  shm_robust_lock(&mb->srv_lock.mutex, NULL);
  if (mb_flags(mb) & SHM_FLAG_CLI_HUP) {
    /* The client died: give the next one fresh rings, locks and events
     * rather than whatever the dead one left half done. Application threads
     * inside shm_write/shm_read hold the map lock for reading; the rings
     * are rebuilt only once they are out. */
    set_mapping(ep, NULL, ep->map_size); /* waits for them, hides the rings */
    mb_unbind(mb);
    __atomic_store_n(&mb->flags, 0, __ATOMIC_RELEASE);
    int rc = mb_bind(mb, ep->cfg.size);
    set_mapping(ep, mb, ep->map_size);
    if (rc != 0) {
      shm_log(SHM_KIND_ERR, "%d: %s\n", -rc, shm_strerror(rc));
      return;
    }
  }
  shm_log(SHM_KIND_INFO, "hup mutex relocked\n");
}

static void *srv_thread(void *arg) {
  shm_endpoint *ep = arg;
  const shm_config *c = &ep->cfg;
  uint8_t *buf = malloc(c->chunk);
  shm_membuf *mb = NULL;
  int fd = -1;
  if (buf == NULL)
    goto out;
  fd = shm_open_object(ep->name, O_CREAT | O_EXCL | O_RDWR, c->size);
  if (fd < 0)
    goto out;
  int rc = shm_map(fd, c->size, &mb);
  if (rc != 0) {
    shm_log(SHM_KIND_ERR, "%d: %s\n", -rc, shm_strerror(rc));
    close(fd);
    shm_unlink(ep->name);
    goto out;
  }
  rc = mb_bind(mb, c->size);
  if (rc != 0) {
    munmap(mb, c->size);
    close(fd);
    shm_unlink(ep->name);
    goto out;
  }
  ep->fd = fd;
  set_mapping(ep, mb, c->size);
  __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
  ep->endpoint_notify(ep);

  int connected = 0;
  int bound = 1;
  shm_endpoint *hup = NULL;
  while (is_running(ep)) {
    uint32_t f = mb_flags(mb);
    /* A hang-up not yet handled counts as gone even if bit 1 was claimed
     * again meanwhile: the rings still hold the dead client's state. */
    int now = (f & SHM_FLAG_CONNECTED) && !(f & SHM_FLAG_CLI_HUP);
    if (now != connected) {
      if (now) {
        if (c->on_connected != NULL)
          c->on_connected(c->user_data, ep);
        hup = hup_start(ep);
      } else {
        hup_stop(hup);
        hup = NULL;
        srv_relock(ep);
        if (!mb_is_bound(mb)) {
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
    uint64_t count = rb_unread(mb, 1);
    if (count == 0) {
      idle_wait(ep, 1);
      continue;
    }
    deliver(ep, 1, count, buf);
  }
  shm_log(SHM_KIND_DBG, "shm_srv finished cicle, connected = %d\n",
          mb_is_connected(mb) ? 1 : 0);
  /* No application call may use the rings while they are torn down. */
  ep->hidden_mb = mb;
  set_mapping(ep, NULL, ep->map_size);
  if (bound)
    mb_unbind(mb);
  hup_stop(hup);
  release_mapping(ep);
  shm_unlink(ep->name);
  free(buf);
  thread_end(ep);
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
  shm_endpoint *ep = endpoint_create(ROLE_SERVER, cfg, NULL);
  if (ep == NULL) {
    shm_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", ENOMEM,
            strerror(ENOMEM));
    return NULL;
  }
  int rc = pthread_create(&ep->thread, NULL, srv_thread, ep);
  if (rc != 0) {
    shm_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", rc, strerror(rc));
    endpoint_free(ep);
    return NULL;
  }
  ep->endpoint_wait(ep);
  if (is_running(ep)) {
    pthread_detach(ep->thread);
    return ep;
  }
  pthread_join(ep->thread, NULL);
  endpoint_free(ep);
  return NULL;
}

/* ---- client ------------------------------------------------------------ */

/* Tears a live connection down in the order the server expects. */
static void cli_teardown(shm_endpoint *ep, shm_endpoint **hup, int signal_srv) {
  shm_membuf *mb = ep->mb;
  mb_disconnect(mb);
  if (signal_srv && !mb_reader_dead(mb, 1))
    event_signal(&mb->rb[1].req);
  hup_stop(*hup);
  *hup = NULL;
  mb_destroy_client_lock(mb);
  release_mapping(ep);
}

enum { CLI_RETRY, CLI_CONNECTED, CLI_FATAL };

/* One connect attempt: open, check, map, connect. */
static int cli_attempt(shm_endpoint *ep) {
  const shm_config *c = &ep->cfg;
  int fd = shm_open_object(ep->name, O_RDWR, 0);
  if (fd == -ENOENT)
    return CLI_RETRY;
  if (fd < 0)
    return CLI_FATAL;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return CLI_FATAL;
  }
  snprintf(ep->text, sizeof ep->text, "%s %s", "shm_cli", ep->name);
  int rc;
  shm_membuf *mb = NULL;
  size_t map_len = 0;
  if ((uint64_t)st.st_size < SHM_MIN_SIZE && c->size >= SHM_MIN_SIZE) {
    /* Created but not sized yet: touching a mapping of it would fault. */
    rc = SHM_ERR_NOT_READY;
  } else {
    map_len = (uint64_t)st.st_size < c->size ? (size_t)st.st_size : c->size;
    rc = shm_map(fd, map_len, &mb);
    if (rc != 0) {
      shm_log(SHM_KIND_ERR, "error mapping shm_cli (%d)\n", -rc);
      close(fd);
      return CLI_FATAL;
    }
    if (map_len < c->size)
      rc = mb_is_bound(mb) ? SHM_ERR_BAD_SIZE : SHM_ERR_NOT_READY;
    else
      rc = mb_connect(mb, c->size);
  }
  if (rc == 0) {
    ep->fd = fd;
    ep->stale_valid = 0;
    set_mapping(ep, mb, map_len);
    return CLI_CONNECTED;
  }
  int server_dead = mb != NULL && (mb_flags(mb) & SHM_FLAG_SRV_HUP) != 0;
  if (mb != NULL)
    munmap(mb, map_len);
  close(fd);
  if (rc == SHM_ERR_NOT_READY) {
    /* A server may be setting this object up right now: only an object
     * whose server is known dead, or the same object still unbound after a
     * pause, is stale. */
    int same = ep->stale_valid && ep->stale_dev == st.st_dev &&
               ep->stale_ino == st.st_ino;
    if (server_dead || same) {
      shm_unlink(ep->name);
      ep->stale_valid = 0;
    } else {
      ep->stale_valid = 1;
      ep->stale_dev = st.st_dev;
      ep->stale_ino = st.st_ino;
    }
  }
  if (rc == SHM_ERR_NOT_READY || rc == SHM_ERR_ALREADY_CONNECTED) {
    shm_log(SHM_KIND_DBG, "error connecting (%d): %s\n", -rc, shm_strerror(rc));
    return CLI_RETRY;
  }
  shm_log(SHM_KIND_ERR, "error connecting (%d): %s\n", -rc, shm_strerror(rc));
  return CLI_FATAL;
}

static void *cli_thread(void *arg) {
  shm_endpoint *ep = arg;
  const shm_config *c = &ep->cfg;
  uint8_t *buf = malloc(c->chunk);
  shm_endpoint *hup = NULL;
  if (buf == NULL)
    goto fatal;

  while (is_running(ep)) {
    shm_log(SHM_KIND_INFO, "%s trying to connect, timeout %.3f sec\n",
            ep->text, (double)c->timeout_us / 1000000.0);
    int state = CLI_RETRY;
    while (is_running(ep)) {
      state = cli_attempt(ep);
      if (state != CLI_RETRY)
        break;
      pause_retry(ep);
    }
    if (state == CLI_FATAL)
      goto fatal;
    if (state != CLI_CONNECTED)
      break; /* stopped while retrying */

    shm_membuf *mb = ep->mb;
    if (c->on_connected != NULL && c->on_connected(c->user_data, ep) < 0) {
      shm_log(SHM_KIND_INFO, "connection rejected by user\n");
      mb_disconnect(mb);
      mb_destroy_client_lock(mb);
      release_mapping(ep);
      goto fatal;
    }
    hup = hup_start(ep);
    if (hup == NULL)
      shm_log(SHM_KIND_ERR, "%s hup listener not started", ep->text);
    event_signal(&mb->rb[1].req);

    int server_gone = 0;
    while (is_running(ep)) {
      uint32_t f = mb_flags(mb);
      if (!(f & SHM_FLAG_BOUND) || (f & SHM_FLAG_SRV_HUP)) {
        cli_teardown(ep, &hup, 0);
        if (c->on_disconnected != NULL)
          c->on_disconnected(c->user_data, ep);
        server_gone = 1;
        break;
      }
      uint64_t count = rb_unread(mb, 0);
      if (count == 0) {
        idle_wait(ep, 0);
        continue;
      }
      deliver(ep, 0, count, buf);
    }
    if (server_gone) {
      pause_retry(ep);
      continue;
    }
    /* Stopped while connected. */
    if (c->on_disconnected != NULL)
      c->on_disconnected(c->user_data, ep);
    cli_teardown(ep, &hup, 1);
  }
  free(buf);
  shm_log(SHM_KIND_INFO, "%s stopped as interrupted\n", ep->text);
  thread_end(ep);
  return NULL;

fatal:
  free(buf);
  thread_end(ep);
  return NULL;
}

shm_endpoint *shm_cli_start(const shm_config *cfg) {
  if (cfg == NULL)
    return NULL;
  shm_endpoint *ep = endpoint_create(ROLE_CLIENT, cfg, NULL);
  if (ep == NULL) {
    shm_log(SHM_KIND_ERR, "error starting shm_cli (%d): %s", ENOMEM,
            strerror(ENOMEM));
    return NULL;
  }
  /* Running before the thread exists, so that an immediate shm_stop waits
   * for the thread instead of freeing the endpoint under it. */
  __atomic_store_n(&ep->running, 1, __ATOMIC_RELEASE);
  int rc = pthread_create(&ep->thread, NULL, cli_thread, ep);
  if (rc != 0) {
    shm_log(SHM_KIND_ERR, "error starting shm_cli (%d): %s", rc, strerror(rc));
    endpoint_free(ep);
    return NULL;
  }
  pthread_detach(ep->thread);
  return ep;
}

/* ---- public calls ------------------------------------------------------ */

int shm_stop(shm_endpoint *ep) {
  if (ep == NULL || (ep->role != ROLE_SERVER && ep->role != ROLE_CLIENT))
    return -EINVAL;
  if (pthread_equal(pthread_self(), ep->thread)) {
    /* Called from a callback: the thread cannot wait for itself, so it
     * frees the endpoint when it ends. */
    __atomic_store_n(&ep->self_free, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&ep->running, 0, __ATOMIC_RELEASE);
    return 0;
  }
  if (__atomic_exchange_n(&ep->running, 0, __ATOMIC_ACQ_REL) == 1) {
    wake_pause(ep);
    pthread_rwlock_rdlock(&ep->map_lock);
    if (ep->mb != NULL) {
      if (ep->role == ROLE_SERVER)
        event_signal(&ep->mb->rb[1].req);
      else if (mb_is_connected(ep->mb))
        event_signal(&ep->mb->rb[0].req);
    }
    pthread_rwlock_unlock(&ep->map_lock);
    ep->endpoint_wait(ep);
  }
  endpoint_free(ep);
  return 0;
}

static int ep_ring(const shm_endpoint *ep, int writing) {
  if (ep->role == ROLE_SERVER)
    return writing ? 0 : 1;
  if (ep->role == ROLE_CLIENT)
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
                             : rb_write(ep->mb, ep->map_size, ring, data, len);
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
                             : rb_read(ep->mb, ep->map_size, ring, buf, len);
  pthread_rwlock_unlock(&ep->map_lock);
  return r;
}
