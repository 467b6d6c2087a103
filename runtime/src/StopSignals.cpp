#include "runtime/StopSignals.h"

#include "runtime/ServiceNotify.h"

namespace orv {

StopSignals::StopSignals(asio::io_context& loop, std::initializer_list<int> signals, Handler onSignal)
    : set_(loop), onSignal_(std::move(onSignal)) {
    for (int signo : signals)
        set_.add(signo);
    arm();
}

void StopSignals::arm() {
    set_.async_wait([this](const std::error_code& ec, int signo) {
        if (ec) return;
        onSignal_(signo);
        arm();
    });
}

WatchdogPing::WatchdogPing(asio::io_context& loop) : timer_(loop) {}

bool WatchdogPing::start() {
    period_ = notify::watchdogPeriod();
    if (period_.count() <= 0) return false;
    ping();
    return true;
}

void WatchdogPing::ping() {
    notify::watchdog();
    timer_.expires_after(period_);
    timer_.async_wait([this](const std::error_code& ec) {
        if (!ec) ping();
    });
}

PeriodicTask::PeriodicTask(asio::io_context& loop, std::chrono::milliseconds period, std::function<void()> work)
    : timer_(loop), period_(period), work_(std::move(work)) {}

void PeriodicTask::start() {
    timer_.expires_after(period_);
    timer_.async_wait([this](const std::error_code& ec) {
        if (ec) return;
        work_();
        start();
    });
}

}  // namespace orv
