#include "connection/ShmRingWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace czs {

ssize_t shmPutSome(shm_endpoint* ep, Reply& reply, uint64_t timeoutUs, bool whole) {
    shm_span spans[2] = {};
    const auto want = static_cast<std::size_t>(std::min<uint64_t>(reply.remaining(), SIZE_MAX));
    const ssize_t reserved =
        whole ? shm_reserve_all(ep, want, spans, timeoutUs) : shm_reserve(ep, want, spans, timeoutUs);
    if (reserved <= 0) {
        return reserved == 0 ? -ENOSPC : reserved;
    }
    std::size_t put = reply.take(std::span(spans[0].data, spans[0].len));
    if (spans[1].len != 0) {
        put += reply.take(std::span(spans[1].data, spans[1].len));
    }
    // Publishes exactly what was produced; a reservation larger than the
    // rest of the frame gives its tail back.
    const int rc = shm_commit(ep, put);
    return rc < 0 ? rc : static_cast<ssize_t>(put);
}

}  // namespace czs
