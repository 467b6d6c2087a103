#include "connection/ShmRingWriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <thread>

// TEMPORARY until the in-place ring calls are in every build of shm_channel:
// they are referenced weakly, and a library without them is written through
// the copying call instead.
#pragma weak shm_reserve
#pragma weak shm_commit

namespace czs {

ssize_t ShmRingWriter::putSome(shm_endpoint* ep, Reply& reply, uint64_t timeoutUs) {
    if (&shm_reserve == nullptr || &shm_commit == nullptr) {
        return putByCopy(ep, reply, timeoutUs);
    }
    shm_span spans[2] = {};
    const uint64_t left = reply.remaining();
    const auto want = static_cast<std::size_t>(std::min<uint64_t>(left, SIZE_MAX));
    const ssize_t reserved = shm_reserve(ep, want, spans, timeoutUs);
    if (reserved <= 0) {
        return reserved == 0 ? -ENOSPC : reserved;
    }
    std::size_t put = reply.take(spans[0].data, spans[0].len);
    if (spans[1].len != 0) {
        put += reply.take(spans[1].data, spans[1].len);
    }
    const int rc = shm_commit(ep, put);
    if (rc < 0) {
        return rc;
    }
    return static_cast<ssize_t>(put);
}

ssize_t ShmRingWriter::putByCopy(shm_endpoint* ep, Reply& reply, uint64_t timeoutUs) {
    constexpr std::size_t kPiece = 64 * 1024;
    if (stagedAt_ == staged_.size()) {
        staged_.resize(static_cast<std::size_t>(std::min<uint64_t>(reply.remaining(), kPiece)));
        staged_.resize(reply.take(staged_.data(), staged_.size()));
        stagedAt_ = 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        ssize_t res = shm_write(ep, staged_.data() + stagedAt_, staged_.size() - stagedAt_);
        if (res > 0) {
            stagedAt_ += static_cast<std::size_t>(res);
            return res;
        }
        if (res != -ENOSPC && res != 0) {
            return res;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -ENOSPC;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
}

}  // namespace czs
