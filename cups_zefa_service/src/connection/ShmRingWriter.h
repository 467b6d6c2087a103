// Moves a reply into a shared-memory endpoint's outgoing ring, written in
// place: the reply's bytes (or its producer's output) go straight into the
// ring's free space, with no copy of the frame in between.
#pragma once

#include <shm_channel/shm_channel.h>

#include <cstdint>
#include <vector>

#include "protocol/Reply.h"

namespace czs {

class ShmRingWriter {
public:
    /// Starts a new frame: forgets bytes of a previous one not yet written.
    void begin() { staged_.clear(); stagedAt_ = 0; }

    /// Bytes of the current frame not yet in the ring.
    uint64_t pending(const Reply& reply) const { return reply.remaining() + (staged_.size() - stagedAt_); }

    /// Puts as much of the frame as the ring has room for. When the ring is
    /// full, waits for the reader to make room, at most `timeoutUs`. Returns
    /// the count put (> 0), -ENOSPC when the ring stayed full, or the
    /// library's negative code (-EPIPE: the peer left; -EINVAL: no mapping).
    /// The caller serialises frames (one writer per endpoint at a time).
    ssize_t putSome(shm_endpoint* ep, Reply& reply, uint64_t timeoutUs);

private:
    ssize_t putByCopy(shm_endpoint* ep, Reply& reply, uint64_t timeoutUs);

    // Only for a library without the in-place calls: bytes taken from the
    // reply that the ring did not accept yet.
    std::vector<uint8_t> staged_;
    std::size_t stagedAt_ = 0;
};

}  // namespace czs
