#include "mount/RequestQueue.h"

#include "LogText.h"

namespace qmss {

RequestQueue::RequestQueue(MountManager& manager, size_t bound)
    : manager_(manager), bound_(bound), worker_([this] { run(); }) {}

RequestQueue::~RequestQueue() {
    stop();
}

void RequestQueue::onShmData(std::span<const uint8_t> block) {
    if (std::optional<FolderRequest> request = MountManager::decode(block)) {
        // A mount that hangs must not hold up an unmount-all queued behind it.
        if (request->op == static_cast<uint8_t>(FolderOp::UnmountAll)) manager_.cancelMount();
        push(std::move(*request));
    }
}

bool RequestQueue::push(FolderRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    if (queue_.size() >= bound_) {
        ORV_LOG(Error, "Error: %zu requests waiting, request for %s dropped\n", queue_.size(),
                printable(request.folder).c_str());
        return false;
    }
    queue_.push_back(std::move(request));
    wake_.notify_one();
    return true;
}

void RequestQueue::drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return (queue_.empty() && !busy_) || stopping_; });
}

size_t RequestQueue::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void RequestQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    idle_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void RequestQueue::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        FolderRequest request = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        manager_.carryOut(request);
        lock.lock();
        busy_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
}

}  // namespace qmss
