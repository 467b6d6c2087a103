// How host-sim reads: the gate that stalls its reader (so the daemon's ring
// fills behind it) and the answers to chunks asked for by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "HostSim.h"
#include "ReadGate.h"
#include "WireCodec.h"

namespace hostsim {
namespace {

using namespace std::chrono_literals;

// Polls `cond` for up to two seconds.
template <class F>
bool eventually(F cond) {
    for (int i = 0; i < 1000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return cond();
}

TEST(ReadGate, AnOpenGateLetsTheReaderPassAndReportsNothing) {
    std::vector<std::size_t> held;
    ReadGate gate([&](std::size_t n) { held.push_back(n); });
    gate.pass(10);
    EXPECT_FALSE(gate.paused());
    EXPECT_TRUE(held.empty());
}

TEST(ReadGate, APausedReaderWaitsUntilResumedAndWhatItHoldsIsToldOnce) {
    std::mutex m;
    std::vector<std::size_t> held;
    ReadGate gate([&](std::size_t n) {
        std::lock_guard<std::mutex> lock(m);
        held.push_back(n);
    });
    gate.pause();
    std::atomic<int> passed{0};
    std::thread reader([&] {
        gate.pass(65535);
        ++passed;
        gate.pass(7);
        ++passed;
    });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(m);
        return !held.empty();
    }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(passed.load(), 0) << "the reader went on while paused";
    gate.resume();
    reader.join();
    EXPECT_EQ(passed.load(), 2);
    EXPECT_EQ(held, std::vector<std::size_t>{65535});
}

TEST(ReadGate, EveryPauseTellsItsOwnHolding) {
    std::vector<std::size_t> held;
    ReadGate gate([&](std::size_t n) { held.push_back(n); });
    for (std::size_t n : {100u, 200u}) {
        gate.pause();
        std::thread reader([&] { gate.pass(n); });
        ASSERT_TRUE(eventually([&] { return held.size() == (n == 100u ? 1u : 2u); }));
        gate.resume();
        reader.join();
    }
    EXPECT_EQ(held, (std::vector<std::size_t>{100, 200}));
}

TEST(ReadGate, ReleaseFreesAWaitingReaderAndOutlastsLaterPauses) {
    ReadGate gate;
    gate.pause();
    std::atomic<bool> passed{false};
    std::thread reader([&] {
        gate.pass(1);
        passed = true;
    });
    std::this_thread::sleep_for(20ms);
    gate.release();
    reader.join();
    EXPECT_TRUE(passed.load());
    gate.pause();
    EXPECT_FALSE(gate.paused()) << "a stopping host-sim paused its reader again";
}

// A host-sim whose frames to the daemon are kept for inspection.
class HostSimTest : public ::testing::Test {
protected:
    HostSimTest()
        : sim_(Settings{}, [this](const uint8_t* p, std::size_t n) {
              std::lock_guard<std::mutex> lock(mutex_);
              sent_.emplace_back(p, p + n);
              return true;
          }) {}

    // The daemon's answer to a chunk request, written out from the wire format.
    static std::vector<uint8_t> response(const std::string& id, long long offset, long long size,
                                         std::size_t chunkBytes) {
        const std::vector<uint8_t> chunk(chunkBytes, 0);
        const nlohmann::json j = {
            {"context", "cups"},
            {"method", "sendfile"},
            {"type", "response"},
            {"data",
             {{"chunk", wire::base64Encode(std::span(chunk))}, {"id", id}, {"offset", offset}, {"size", size}}}};
        return wire::frame(wire::base64Encode(j.dump()));
    }

    void feed(const std::vector<uint8_t>& bytes) { sim_.onBytes(bytes); }

    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> sent_;
    HostSim sim_;
};

TEST_F(HostSimTest, AChunkAskedForByHandIsRequestedAndItsAnswerAccepted) {
    ASSERT_TRUE(sim_.command("request job-7 1000 5"));
    ASSERT_EQ(sent_.size(), 1u);
    std::string why;
    const auto m = wire::decode(sent_[0], why);
    ASSERT_TRUE(m) << why;
    EXPECT_EQ(m->method(), "sendfile");
    EXPECT_EQ(m->kind(), "request");
    EXPECT_EQ(m->json["data"], (nlohmann::json{{"id", "job-7"}, {"offset", 1000}, {"size", 5}}));

    feed(response("job-7", 1000, 5, 5));
    EXPECT_EQ(sim_.errors(), 0);
    // Asked for once, answered once: a second answer is nobody's.
    feed(response("job-7", 1000, 5, 5));
    EXPECT_EQ(sim_.errors(), 1);
}

TEST_F(HostSimTest, AnAnswerShorterThanAskedIsAnError) {
    ASSERT_TRUE(sim_.command("request job-7 0 6"));
    feed(response("job-7", 0, 6, 3));
    EXPECT_EQ(sim_.errors(), 1);
}

TEST_F(HostSimTest, RequestsLeftUnansweredBeforeAnAnsweredOneAreForgotten) {
    ASSERT_TRUE(sim_.command("request a 0 4"));
    ASSERT_TRUE(sim_.command("request a 4 4"));
    feed(response("a", 4, 4, 4));
    EXPECT_EQ(sim_.errors(), 0);
    feed(response("a", 0, 4, 4));
    EXPECT_EQ(sim_.errors(), 1);
}

TEST_F(HostSimTest, AnAnswerWithNumbersOfTheWrongTypeIsAnErrorNotACrash) {
    ASSERT_TRUE(sim_.command("request job-7 0 4"));
    const nlohmann::json j = {{"context", "cups"},
                              {"method", "sendfile"},
                              {"type", "response"},
                              {"data", {{"chunk", "AAAAAA=="}, {"id", "job-7"}, {"offset", "0"}, {"size", 4}}}};
    feed(wire::frame(wire::base64Encode(j.dump())));
    EXPECT_EQ(sim_.errors(), 1);
}

TEST_F(HostSimTest, WhilePausedNothingIsHandledButCommandsStillWork) {
    ASSERT_TRUE(sim_.command("request x 0 3"));
    ASSERT_TRUE(sim_.command("pause"));
    std::atomic<bool> handled{false};
    std::thread reader([&] {
        feed(response("y", 0, 3, 3));  // nobody asked: an error once handled
        handled = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(handled.load());
    EXPECT_EQ(sim_.errors(), 0);
    // The command path must not wait for the stalled reader.
    ASSERT_TRUE(sim_.command("request x 3 3"));
    EXPECT_EQ(sent_.size(), 2u);
    ASSERT_TRUE(sim_.command("resume"));
    reader.join();
    EXPECT_TRUE(handled.load());
    EXPECT_EQ(sim_.errors(), 1);
}

}  // namespace
}  // namespace hostsim
