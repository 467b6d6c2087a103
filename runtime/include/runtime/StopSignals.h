// The daemons' one way to stop: the stop signals arrive on the event loop as
// ordinary completions (asio::signal_set), so the handler may log and touch
// the loop's state; and the service manager's liveness ping rides the same
// loop, so a loop stuck in a handler stops pinging and gets restarted.
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <initializer_list>

namespace orv {

class StopSignals {
public:
    /// Called on the loop with the signal's number, once per signal received.
    using Handler = std::function<void(int signo)>;

    /// Takes `signals` on `loop` from now on; the handler stays installed
    /// after it has run. Construct it before any thread is started that
    /// should not see the signals' default action.
    StopSignals(asio::io_context& loop, std::initializer_list<int> signals, Handler onSignal);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void arm();

    asio::signal_set set_;
    Handler onSignal_;
};

/// Pings the service manager's watchdog (orv::notify::watchdog) at once and
/// then every orv::notify::watchdogPeriod() on `loop`; does nothing when the
/// manager asks for no ping (period zero).
class WatchdogPing {
public:
    explicit WatchdogPing(asio::io_context& loop);
    WatchdogPing(const WatchdogPing&) = delete;
    WatchdogPing& operator=(const WatchdogPing&) = delete;
    /// Starts the pings; true when the manager asked for them.
    bool start();

private:
    void ping();

    asio::steady_timer timer_;
    std::chrono::microseconds period_{0};
};

/// Runs `work` on `loop` every `period` until the loop stops (the first run one
/// period from start()).
class PeriodicTask {
public:
    PeriodicTask(asio::io_context& loop, std::chrono::milliseconds period, std::function<void()> work);
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;
    void start();

private:
    asio::steady_timer timer_;
    std::chrono::milliseconds period_;
    std::function<void()> work_;
};

}  // namespace orv
