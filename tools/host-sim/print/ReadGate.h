// Lets an operator stop host-sim from taking bytes off its channel and let it
// go on later: a host that stops reading leaves the daemon's outgoing ring
// (or the serial line) full, which is what tests of a stalled host need. The
// thread that delivers received bytes passes the gate before handling them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

namespace hostsim {

class ReadGate {
public:
    /// `onHeld` (may be empty) is told once per pause, on the reader's thread,
    /// how many bytes the waiting reader holds: taken off the channel already
    /// but not handled, so not in the ring any more either.
    explicit ReadGate(std::function<void(std::size_t)> onHeld = nullptr) : onHeld_(std::move(onHeld)) {}

    /// Later deliveries wait until resume(). Does nothing once released.
    void pause();
    /// A waiting delivery, and every later one, goes on.
    void resume();
    /// Opens the gate for good: a stopping host-sim must not leave its reader
    /// blocked, or stopping the channel would wait for it for ever.
    void release();
    /// Reader thread, before handling `held` bytes: returns at once while
    /// open, otherwise once resumed or released.
    void pass(std::size_t held);
    bool paused() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    bool paused_ = false;
    bool released_ = false;
    bool reported_ = false;  // this pause's holding has been told
    std::function<void(std::size_t)> onHeld_;
};

}  // namespace hostsim
