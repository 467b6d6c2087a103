/*
 * The endpoint record and what the server, client and hang-up listener
 * threads share. Private to the library.
 */
#ifndef SHM_CHANNEL_SHM_ENDPOINT_INT_H
#define SHM_CHANNEL_SHM_ENDPOINT_INT_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include "shm_internal.h"

#pragma GCC visibility push(hidden)

/* Shortest pause between two connect attempts. */
#define SHMI_MIN_PAUSE_US 1000u

enum { SHMI_ROLE_SERVER = 0, SHMI_ROLE_CLIENT = 1, SHMI_ROLE_HUP = 2 };

struct shm_endpoint {
    pthread_t thread;
    /* rendezvous */
    pthread_mutex_t rv_mutex;
    pthread_cond_t rv_cond;
    uint8_t rv_flag;
    uint8_t running;
    void (*endpoint_wait)(shm_endpoint*);
    void (*endpoint_notify)(shm_endpoint*);
    char text[256];
    int fd;
    shm_config cfg;
    int role;
    shm_membuf* mb;
    /* ---- beyond the classic record ---- */
    size_t map_size;
    char* name; /* our copy of cfg.name */
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
    shm_endpoint* parent;
    /* A stopping server's mapping, still to be unmapped. */
    shm_membuf* hidden_mb;
    /* One writer at a time: a reservation keeps shm_write and other
   * reservations out until its commit. Process-private. */
    pthread_mutex_t wr_mutex;
    pthread_cond_t wr_cond;
    uint8_t wr_busy;
    /* The open reservation and the open peek. Each holds map_lock for reading
   * (so the spans stay mapped) and belongs to the thread that opened it. */
    uint8_t resv_active;
    pthread_t resv_thread;
    uint64_t resv_at;
    size_t resv_len;
    uint8_t peek_active;
    pthread_t peek_thread;
    /* Set by any thread whose ring call met a broken peer (a lock held past
   * its deadline, impossible indices); the endpoint's thread then drops
   * the connection as if the peer had left. */
    uint8_t broken;
    /* Set by the hang-up listener when the peer it watched has gone; the
   * endpoint's thread takes it as the end of that peer's session. */
    uint8_t peer_left;
    /* 1 while a hang-up listener watches the current peer, and 1 once that
   * peer was seen publishing data without a signal (endpoint thread): they
   * choose the idle reader's backstop. */
    uint8_t peer_watched;
    uint8_t peer_unsignalled;
    /* The reader's current spin budget before blocking (endpoint thread). */
    uint32_t spin_ns;
    uint32_t spin_skips;
    /* The current pause while another waiter holds a ring event's mark
   * (endpoint thread). */
    uint32_t mark_pause_us;
    /* Counts successful application reads (shm_read, shm_consume). */
    uint64_t reads;
    /* A listener's peer: the holder of the watched lock for this session. */
    int watch_owner;
    /* Set by a listener's thread once it no longer sleeps on the watched lock,
   * so that a stop stops waking it. */
    uint8_t hup_done;
    /* Set by the endpoint's thread before it unmaps: writers waiting for
   * space give up at once instead of holding the mapping. */
    uint8_t closing;
    /* The last object whose owner on_owner refused (logged once). */
    int refused_valid;
    ino_t refused_ino;
    /* The last object found not to be a channel of ours (logged once). */
    int foreign_valid;
    dev_t foreign_dev;
    ino_t foreign_ino;
    uid_t refused_uid;
    /* Object seen "not ready" at the previous client attempt. */
    int stale_valid;
    dev_t stale_dev;
    ino_t stale_ino;
};

int shmi_ep_running(shm_endpoint* ep);
/* Creates an endpoint of `role`; cfg is copied (NULL for a listener). */
shm_endpoint* shmi_ep_create(int role, const shm_config* cfg, shm_endpoint* parent);
void shmi_ep_free(shm_endpoint* ep);
/* Publishes a new mapping to application threads (waits for those inside a
 * call on the old one). */
void shmi_ep_set_mapping(shm_endpoint* ep, shm_membuf* mb, size_t size);
/* Unmaps and closes; the endpoint's own thread only. */
void shmi_ep_release_mapping(shm_endpoint* ep);
/* Sleeps the retry period, or until the endpoint is stopped. */
void shmi_ep_pause(shm_endpoint* ep);
void shmi_ep_wake_pause(shm_endpoint* ep);
/* Waits for data on `ring` (the one this side reads), a change of the
 * flags word from `flags_seen`, a hang-up or a stop. */
void shmi_ep_idle_wait(shm_endpoint* ep, int ring, uint32_t flags_seen);
/* Hands received data to the application. */
void shmi_ep_deliver(shm_endpoint* ep, int ring, uint64_t count, uint8_t* buf);
/* Ends an endpoint thread, notifying shm_stop when it waits. */
void shmi_ep_thread_end(shm_endpoint* ep);

/* Notes a ring result: a broken-peer code marks the endpoint broken. */
void shmi_ep_note_result(shm_endpoint* ep, long rc);
/* 1 once the peer of this endpoint has gone (flags), or it is stopping. */
int shmi_ep_peer_gone(shm_endpoint* ep, const shm_membuf* mb);
/* The ring this endpoint writes (writing != 0) or reads; -1 for a listener. */
int shmi_ep_ring(const shm_endpoint* ep, int writing);

/* Starts a listener on the peer's lock; NULL (logged) when it cannot. */
/* `owner`: the thread id the parent saw holding the peer's lock when the
 * session began (0: unknown, the listener takes the first holder). */
shm_endpoint* shmi_hup_start(shm_endpoint* parent, int owner);
/* Stops and frees a listener; NULL is ignored. */
void shmi_hup_stop(shm_endpoint* hup);

#pragma GCC visibility pop

#endif
