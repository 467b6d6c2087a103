/*
 * shm_channel: a two-ring byte channel in one POSIX shared-memory object.
 *
 * A server creates and lays out the object, a client attaches to it by name;
 * each side then gets callbacks on its endpoint's own thread and writes with
 * shm_write (and, in the data-available style, reads with shm_read).
 * Everything returns 0 or a byte count on success and a negative code on
 * failure: a negated errno value or one of the SHM_ERR_* codes below.
 */
#ifndef SHM_CHANNEL_SHM_CHANNEL_H
#define SHM_CHANNEL_SHM_CHANNEL_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden visibility; what this header declares is
 * its whole exported interface. */
#pragma GCC visibility push(default)

/* Channel error codes; shm_strerror gives their texts. */
#define SHM_ERR_NOT_READY (-37200)         /* object exists, server not bound */
#define SHM_ERR_BAD_MAGIC (-37199)         /* control block is not ours */
#define SHM_ERR_BAD_SIZE (-37198)          /* size mismatch or too small */
#define SHM_ERR_REJECTED (-37197)          /* on_connected refused the peer */
#define SHM_ERR_ALREADY_CONNECTED (-37196) /* another client holds the channel */

/* Size of the control block at the start of the object. */
#define SHM_MEMBUF_SIZE 496u
/* Smallest usable object: the control block plus two one-byte rings. */
#define SHM_MIN_SIZE 498u

/* Defaults for shm_config (see shm_config_init). */
#define SHM_DEFAULT_NAME "/zefa_shm_ep"
#define SHM_DEFAULT_TIMEOUT_US 1200000u
#define SHM_DEFAULT_SIZE 33554432u /* 32 MiB */
#define SHM_DEFAULT_CHUNK 65535u

/* Logger kinds, the default level numbers handed to a log handler. */
#define SHM_LOG_ERR 0
#define SHM_LOG_INFO 1
#define SHM_LOG_DBG 2

typedef struct shm_endpoint shm_endpoint; /* opaque; one per started endpoint */

/*
 * Callbacks run on the endpoint's own thread and get the config's user_data
 * first. Only on_connected's result is used: on a client a negative result
 * refuses the connection. The others' results are ignored.
 */
typedef int (*shm_on_connected_fn)(void* user_data, shm_endpoint* ep);
typedef int (*shm_on_data_fn)(void* user_data, shm_endpoint* ep, const uint8_t* data, size_t len);
typedef int (*shm_on_data_available_fn)(void* user_data, shm_endpoint* ep, uint32_t unread);
typedef int (*shm_on_disconnected_fn)(void* user_data, shm_endpoint* ep);
/*
 * Client only: asked, before anything is mapped, whether to trust an object
 * owned by `owner` (taken with fstat from the descriptor that will be mapped,
 * so it is the object actually used). A negative result refuses it: the
 * client logs why and retries as for a missing object.
 */
typedef int (*shm_on_owner_fn)(void* user_data, uid_t owner);

typedef struct shm_config {
    /* Object name handed to shm_open; NULL means SHM_DEFAULT_NAME. Copied. */
    const char* name;
    /* Client: the pause between two connect attempts (object missing, not
   * ready, busy, refused owner) and after the server went away, in
   * microseconds, slept to the microsecond (all 64 bits count); values
   * under 1000 are raised to 1000 so that retrying never spins. A stop cuts
   * the pause short. The server does not use it. */
    uint64_t timeout_us;
    /* Total object size in bytes, at least SHM_MIN_SIZE. */
    uint32_t size;
    /* Largest block handed to on_data at once (0 means SHM_DEFAULT_CHUNK). */
    uint16_t chunk;
    shm_on_connected_fn on_connected;
    /* Received bytes, at most `chunk` at a time. */
    shm_on_data_fn on_data;
    /* Used when on_data is NULL: the count of unread bytes; the application
   * consumes them with shm_read. Repeated while unread data remains. */
    shm_on_data_available_fn on_data_available;
    /* The peer has gone, or the endpoint is stopping. */
    shm_on_disconnected_fn on_disconnected;
    void* user_data;
    /* Client only; NULL trusts any owner. */
    shm_on_owner_fn on_owner;
} shm_config;

/* Fills `cfg` with the defaults above and no callbacks. */
void shm_config_init(shm_config* cfg);

/*
 * Starts a server: creates the object exclusively, sizes and binds it.
 * Returns only once bound (the endpoint) or failed (NULL).
 */
shm_endpoint* shm_srv_start(const shm_config* cfg);

/*
 * Starts a client. Returns at once; the endpoint's thread connects, retrying
 * every timeout_us while the object is missing, not ready or busy.
 */
shm_endpoint* shm_cli_start(const shm_config* cfg);

/*
 * Stops the endpoint's thread, waits for it, releases the mapping (a server
 * also unlinks its object) and frees the endpoint. 0, or -EINVAL for NULL.
 */
int shm_stop(shm_endpoint* ep);

/*
 * Copies up to `len` bytes into the outgoing ring, never past its end in one
 * call. Returns the count written (possibly fewer than len: write the rest
 * later), -ENOSPC for a full ring (it does not wait), -EINVAL without a
 * mapping or data, -ETIMEDOUT/-EIO when the peer broke the ring (the
 * endpoint then drops the connection). Call between on_connected and
 * on_disconnected; any thread may call it.
 */
ssize_t shm_write(shm_endpoint* ep, const void* data, size_t len);

/*
 * Reads up to `len` unread bytes from the incoming ring. Returns the count,
 * -EAGAIN for an empty ring, -EINVAL as for shm_write.
 */
ssize_t shm_read(shm_endpoint* ep, void* buf, size_t len);

/*
 * In-place I/O. A span is a piece of ring memory, valid until the matching
 * commit or consume; a ring's free or unread region is at most two spans
 * (before and after the wrap point). The bytes on the wire, the ring
 * indices and the events a peer sees are the same as with the copying
 * calls, so a peer that only copies (the host agent) cannot tell them apart.
 *
 * Ring memory is shared with the peer, which can rewrite it at any time:
 * copy bytes out before validating them where the peer is not trusted.
 */
typedef struct shm_span {
    uint8_t* data; /* never NULL once filled in, even when len is 0 */
    size_t len;
} shm_span;

/*
 * Reserves up to `len` (>= 1) bytes of the outgoing ring's free space as one
 * or two spans (spans[1].len is 0 when it does not wrap). When the ring is
 * full, waits for the reader to free space, up to `timeout_us` (0: do not
 * wait); a reader built on this library wakes the writer as soon as it has
 * read, a reader that never signals is looked at again every few
 * milliseconds at most. Returns the count reserved (>= 1, possibly fewer
 * than len), -ENOSPC when still full at the deadline, -EINVAL as for
 * shm_write or for len 0, -EPIPE once the peer has gone or broke the
 * channel. Nothing is visible to the reader until shm_commit. One
 * reservation at a time per endpoint: other writers of this endpoint (also
 * shm_write) wait for its commit, and the same thread must commit (the
 * reservation keeps the mapping alive until then; do not call shm_write on
 * that thread in between, and commit promptly: the endpoint's thread waits
 * for it before it can unmap on a disconnect).
 */
ssize_t shm_reserve(shm_endpoint* ep, size_t len, shm_span spans[2], uint64_t timeout_us);

/*
 * shm_reserve, all or nothing: waits, as shm_reserve does, until len bytes
 * are free and reserves exactly len, so that a message is either written
 * whole or not begun (a reader never sees the head of a message whose tail
 * could not follow). Returns len, -ENOSPC when fewer than len bytes are
 * free at the deadline (nothing is reserved), -EMSGSIZE when len exceeds
 * the ring's capacity, otherwise as shm_reserve.
 */
ssize_t shm_reserve_all(shm_endpoint* ep, size_t len, shm_span spans[2], uint64_t timeout_us);

/*
 * Publishes the first `len` bytes of the current reservation (0 publishes
 * nothing; at most what was reserved) in one step: the reader sees all of
 * them or none. Ends the reservation. 0, or -EINVAL without a reservation of
 * this thread or for a len larger than it (the reservation then stays open),
 * or -EIO/-ETIMEDOUT when the peer broke the ring meanwhile.
 */
int shm_commit(shm_endpoint* ep, size_t len);

/*
 * The incoming ring's unread bytes in place, as one or two spans. Returns
 * the total (0 when empty: nothing is held) or a negative code (-EINVAL as
 * for shm_read). While it returns > 0 the bytes stay in the ring, and the
 * mapping stays alive, until the same thread calls shm_consume. One reader
 * per ring: do not mix with on_data delivery.
 */
ssize_t shm_peek(shm_endpoint* ep, shm_span spans[2]);

/*
 * Releases the first `len` peeked bytes to the writer (0 releases nothing)
 * and wakes it if it waits for space; ends the peek. 0, or -EINVAL without a
 * peek of this thread or for more than is unread (the peek then stays
 * open).
 */
int shm_consume(shm_endpoint* ep, size_t len);

/*
 * Text for a code returned by this library (negative). Unknown codes give
 * the system's text for the negated code. Never NULL.
 */
const char* shm_strerror(int code);

/*
 * Logger. Without a handler, messages go to standard output behind the
 * "[date time.ms zone] [ERR|INFO|DBG] " prefix. A handler receives every
 * message with the level number configured here for its kind, the printf
 * format and its arguments. NULL restores standard output.
 */
typedef void (*shm_log_handler_fn)(int level, const char* fmt, va_list ap);
void shm_log_set_handler(shm_log_handler_fn handler, int err_level, int info_level, int dbg_level);
/* The same with a user-data pointer handed back to the handler on every
 * message, so an application routes messages into its own logger without a
 * global of its own. Either setter replaces the other's handler. */
typedef void (*shm_log_handler_data_fn)(void* user_data, int level, const char* fmt, va_list ap);
void shm_log_set_handler_data(shm_log_handler_data_fn handler, void* user_data, int err_level, int info_level,
                              int dbg_level);
/* Debug messages are dropped unless enabled (off at start). */
void shm_log_set_debug(int enabled);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* SHM_CHANNEL_SHM_CHANNEL_H */
