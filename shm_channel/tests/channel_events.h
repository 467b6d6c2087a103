// What an endpoint's thread reports to a test: connections and hang-ups,
// counted under a lock and waited for with a deadline. A test's receive
// state derives from it; the callbacks take that derived type, which is the
// one handed to the endpoint as user data.
#pragma once

#include <shm_channel/shm_channel.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace shmtest {

struct ChannelEvents {
    std::mutex m;
    std::condition_variable cv;
    int connected = 0, disconnected = 0;
    std::chrono::steady_clock::time_point disconnected_at;  ///< of the latest hang-up

    /// Read under the lock: the endpoint's thread counts while a test looks.
    int connections() {
        std::lock_guard<std::mutex> l(m);
        return connected;
    }
    /// Waits (bounded) until `pred` holds under the lock.
    template <class P>
    bool wait(P pred, std::chrono::milliseconds t = std::chrono::milliseconds(20000)) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, t, pred);
    }
    /// Waits (bounded) for a first connection.
    bool wait_connected(std::chrono::milliseconds t = std::chrono::milliseconds(20000)) {
        return wait([this] { return connected > 0; }, t);
    }
};

/// on_connected for user data of type E (a ChannelEvents).
template <class E>
int events_connected(void* u, shm_endpoint*) {
    auto* e = static_cast<E*>(u);
    std::lock_guard<std::mutex> l(e->m);
    e->connected++;
    e->cv.notify_all();
    return 0;
}

/// on_disconnected for user data of type E (a ChannelEvents).
template <class E>
int events_disconnected(void* u, shm_endpoint*) {
    auto* e = static_cast<E*>(u);
    std::lock_guard<std::mutex> l(e->m);
    e->disconnected++;
    e->disconnected_at = std::chrono::steady_clock::now();
    e->cv.notify_all();
    return 0;
}

}  // namespace shmtest
