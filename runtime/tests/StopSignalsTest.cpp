// Stop signals arrive on the loop as completions, the handler stays
// installed, and a periodic task runs on the same loop until it stops.
#include "runtime/StopSignals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(StopSignals, EachSignalReachesTheHandlerOnTheLoop) {
    asio::io_context loop;
    std::vector<int> got;
    orv::StopSignals signals(loop, {SIGINT, SIGTERM}, [&](int signo) {
        got.push_back(signo);
        loop.stop();
    });
    ASSERT_EQ(::raise(SIGTERM), 0);
    loop.run_for(5s);
    EXPECT_EQ(got, std::vector<int>{SIGTERM});
    loop.restart();
    // Still installed: a second signal is taken the same way, not by the
    // default action that would end the test process.
    ASSERT_EQ(::raise(SIGINT), 0);
    loop.run_for(5s);
    EXPECT_EQ(got, (std::vector<int>{SIGTERM, SIGINT}));
}

TEST(PeriodicTask, RunsEveryPeriodUntilTheLoopStops) {
    asio::io_context loop;
    int runs = 0;
    orv::PeriodicTask task(loop, 10ms, [&] {
        if (++runs == 3) loop.stop();
    });
    const auto start = std::chrono::steady_clock::now();
    task.start();
    loop.run_for(5s);
    EXPECT_EQ(runs, 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(WatchdogPing, DoesNothingWhenNoManagerAsks) {
    ::unsetenv("WATCHDOG_USEC");
    asio::io_context loop;
    orv::WatchdogPing ping(loop);
    EXPECT_FALSE(ping.start());
    EXPECT_EQ(loop.poll(), 0u);  // nothing was scheduled
}

}  // namespace
