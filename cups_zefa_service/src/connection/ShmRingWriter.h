// Moves a reply into a shared-memory endpoint's outgoing ring in place: the
// reply's bytes (or its producer's output) go straight into the ring's free
// space, with no copy of the frame in between.
#pragma once

#include <shm_channel/shm_channel.h>

#include <cstdint>

#include "protocol/Reply.h"

namespace czs {

/// Puts as much of `reply`'s remaining image as the ring has room for. When
/// the ring is full, waits (without polling) for the reader to make room, at
/// most `timeoutUs`. With `whole`, puts all of the rest or nothing: waits
/// until that much is free (-EMSGSIZE when it is more than the ring holds).
/// Returns the count put (> 0), -ENOSPC when the room did not come, or the
/// library's negative code (-EPIPE: the peer left; -EINVAL: no mapping).
/// Callers serialise their frames (one writer per endpoint).
ssize_t shmPutSome(shm_endpoint* ep, Reply& reply, uint64_t timeoutUs, bool whole = false);

}  // namespace czs
