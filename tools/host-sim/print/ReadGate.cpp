#include "ReadGate.h"

namespace hostsim {

void ReadGate::pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_) {
        return;
    }
    paused_ = true;
    reported_ = false;
}

void ReadGate::resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
    }
    opened_.notify_all();
}

void ReadGate::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        paused_ = false;
    }
    opened_.notify_all();
}

void ReadGate::pass(std::size_t held) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!paused_) {
        return;
    }
    if (!reported_ && onHeld_) {
        reported_ = true;
        // Told under the lock, so a resume cannot slip in before the report
        // and the report always describes a reader that really waits.
        onHeld_(held);
    }
    opened_.wait(lock, [this] { return !paused_; });
}

bool ReadGate::paused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

}  // namespace hostsim
