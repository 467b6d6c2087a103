/*
 * The control block inside the shared object.
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
SHM_STATIC_ASSERT(offsetof(shm_membuf, rb) + sizeof(shm_ringbuf) == 304, "shm_membuf.rb[1]");

#ifdef __cplusplus
}
#endif

#endif
