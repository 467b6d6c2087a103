// Connect, then write at once in both directions, thousands of times across
// two processes: the first write after "connected" must never fail, and
// each side's first bytes must arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "shm_internal.h"
#include "channel_setup.h"
#include "two_process.h"

namespace {

using namespace shmtest;

constexpr uint32_t kSize = 65536;
constexpr int kRounds = 2000;

struct Side : ChannelEvents {
    int write_failures = 0;
    std::string last_error;
    std::string received;
    const char* greeting = "";
};

int side_connected(void* u, shm_endpoint* ep) {
    auto* s = static_cast<Side*>(u);
    // The first write, at the earliest moment an application may make it.
    ssize_t w = shm_write(ep, s->greeting, strlen(s->greeting));
    std::lock_guard<std::mutex> l(s->m);
    if (w != static_cast<ssize_t>(strlen(s->greeting))) {
        s->write_failures++;
        s->last_error = std::to_string(w);
    }
    s->connected++;
    s->received.clear();
    s->cv.notify_all();
    return 0;
}
int side_data(void* u, shm_endpoint*, const uint8_t* d, size_t n) {
    auto* s = static_cast<Side*>(u);
    std::lock_guard<std::mutex> l(s->m);
    s->received.append(reinterpret_cast<const char*>(d), n);
    s->cv.notify_all();
    return 0;
}

shm_config config(const std::string& name, Side* s) {
    shm_config c = events_config(name, s, kSize, 1000);  // retry at once: many rounds
    c.on_connected = side_connected;
    c.on_data = side_data;
    return c;
}

// The client process: connects, greets, waits for the server's greeting,
// stops; kRounds times. Reports the failures it saw.
int child_main(const std::string& role, const std::string& name, const std::string&) {
    shm_log_set_handler(quiet_log, 0, 1, 2);
    if (role != "client_rounds") return 100;
    int missing = 0;
    static Side side;
    side.greeting = "from-client";
    shm_config c = config(name, &side);
    for (int i = 0; i < kRounds; i++) {
        shm_endpoint* ep = shm_cli_start(&c);
        if (ep == nullptr) return 2;
        std::unique_lock<std::mutex> l(side.m);
        bool ok = side.cv.wait_for(l, 3s, [&] { return side.connected > i && side.received == "from-server"; });
        if (!ok) {
            missing++;
            report("round " + std::to_string(i) + " connected " + std::to_string(side.connected) + " received '" +
                   side.received + "'");
        }
        l.unlock();
        if (missing >= 3) break;
        shm_stop(ep);
    }
    std::lock_guard<std::mutex> l(side.m);
    report("done failures " + std::to_string(side.write_failures) + " missing " + std::to_string(missing) + " last " +
           side.last_error);
    return 0;
}

ORV_TWO_PROCESS_CHILD_ENTRY(name_arg_entry<child_main>)

TEST(ConnectStress, FirstWriteRightAfterConnectedNeverFailsEitherWay) {
    shm_log_set_handler(quiet_log, 0, 1, 2);
    std::string name = unique_name("stress");
    Side side;
    side.greeting = "from-server";
    shm_config c = config(name, &side);
    shm_endpoint* srv = shm_srv_start(&c);
    ASSERT_NE(srv, nullptr);
    Child client;
    spawn(client, "client_rounds", name);
    std::string result = client.line(600000ms);
    while (result.rfind("round ", 0) == 0) {
        ADD_FAILURE() << result;
        result = client.line(600000ms);
    }
    EXPECT_EQ(result, "done failures 0 missing 0 last ");
    EXPECT_EQ(client.wait_exit(), 0);
    shm_stop(srv);
    std::lock_guard<std::mutex> l(side.m);
    EXPECT_EQ(side.write_failures, 0) << "server's first write failed, last " << side.last_error;
    EXPECT_EQ(side.connected, kRounds) << "every connection seen by the server";
    EXPECT_EQ(side.disconnected, kRounds);
    shm_log_set_handler(nullptr, 0, 1, 2);
}

}  // namespace
