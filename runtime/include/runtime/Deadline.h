// Monotonic deadlines and the sleeps built on them. Every wait on something a
// peer or a local user controls goes through a Deadline, so none is endless.
#pragma once

#include <cerrno>
#include <chrono>
#include <ctime>

namespace orv {

using Clock = std::chrono::steady_clock;

class Deadline {
public:
    /// A deadline `after` from now.
    explicit Deadline(Clock::duration after) noexcept : at_(Clock::now() + after) {}
    static Deadline at(Clock::time_point when) noexcept { return Deadline(when); }

    bool expired() const noexcept { return Clock::now() >= at_; }
    /// Time left, never negative.
    Clock::duration remaining() const noexcept {
        auto left = at_ - Clock::now();
        return left < Clock::duration::zero() ? Clock::duration::zero() : left;
    }
    /// Time left in whole milliseconds, rounded up, for poll(2); 0 once expired.
    int remainingMs() const noexcept {
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining()).count();
        return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
    }
    Clock::time_point when() const noexcept { return at_; }

private:
    explicit Deadline(Clock::time_point at) noexcept : at_(at) {}
    Clock::time_point at_;
};

/// Sleeps the whole duration, resuming with the remaining time when a signal
/// interrupts the sleep, so a handled signal does not cut a pause short.
inline void sleepFully(Clock::duration d) noexcept {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns <= 0) return;
    timespec req{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    timespec rem{};
    while (nanosleep(&req, &rem) == -1 && errno == EINTR)
        req = rem;
}

}  // namespace orv
