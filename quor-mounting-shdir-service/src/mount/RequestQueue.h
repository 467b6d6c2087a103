// Carries out the host's requests on one worker thread, in arrival order, so
// the shared-memory thread never waits for a mount command and the requests
// that follow a slow mount are queued rather than lost.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>

#include "mount/FolderRequest.h"
#include "mount/MountManager.h"

namespace qmss {

class RequestQueue {
public:
    /// `manager` is borrowed and must outlive the queue. At most `bound`
    /// requests wait; more are dropped with an error line.
    explicit RequestQueue(MountManager& manager, size_t bound = 256);
    /// Stops the worker (see stop).
    ~RequestQueue();
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    /// The shared-memory endpoint's data callback (the C library hands a
    /// pointer and a length): decodes one block and queues the request. Never
    /// blocks on the work itself.
    void onShmData(std::span<const uint8_t> block);
    /// Queues one decoded request; false when the queue is full or stopped.
    bool push(FolderRequest request);
    /// Waits until every queued request has been carried out (tests).
    void drain();
    /// Requests queued and not yet begun (the one in progress is not
    /// counted). Safe from any thread.
    size_t waiting() const;
    /// Lets the request in progress finish, drops the rest, joins the worker.
    /// Idempotent.
    void stop();

private:
    void run();

    MountManager& manager_;
    const size_t bound_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<FolderRequest> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace qmss
