// Peers that break the channel while alive, untrusted owners, and a server
// restarted after kill -9: each across real processes.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <vector>

#include "shm_internal.h"
#include "channel_setup.h"
#include "two_process.h"

namespace {

using namespace shmtest;

constexpr uint32_t kSize = 65536;

struct Events : ChannelEvents {
    uint64_t bytes = 0;
};

int ev_data(void* u, shm_endpoint*, const uint8_t*, size_t n) {
    auto* e = static_cast<Events*>(u);
    std::lock_guard<std::mutex> l(e->m);
    e->bytes += n;
    e->cv.notify_all();
    return 0;
}

shm_config config(const std::string& name, Events* e) {
    shm_config c = events_config(name, e, kSize, 200000);
    c.on_data = ev_data;
    return c;
}

// Keeps writing one byte every 20 ms while connected.
void chatter(shm_endpoint* ep, Events* ev) {
    for (;;) {
        bool up;
        {
            std::lock_guard<std::mutex> l(ev->m);
            up = ev->connected > ev->disconnected;
        }
        if (up) shm_write(ep, "x", 1);
        usleep(20000);
    }
}

int child_main(const std::string& role, const std::string& name, const std::string& arg) {
    shm_log_set_handler(quiet_log, 0, 1, 2);
    static Events ev;
    shm_config c = config(name, &ev);
    if (role == "chatty_client" || role == "chatty_server") {
        shm_endpoint* ep = nullptr;
        if (role == "chatty_client") {
            ep = shm_cli_start(&c);
        } else {
            if ((ep = start_server_retrying(c, 100)) == nullptr) return 2;
            report("started");
        }
        std::thread(chatter, ep, &ev).detach();
        int seen = 0;
        for (;;) {
            ev.wait([&] { return ev.connected > seen; }, 3600000ms);
            seen = ev.connections();
            report("connected " + std::to_string(seen));
        }
    }
    if (role == "server_idle") {
        if (shm_srv_start(&c) == nullptr) return 2;
        report("started");
        hold_forever();
    }
    if (role == "lock_holder") {  // maps the object and keeps ring `arg` locked
        void* p = map_object(name, kSize);
        if (p == nullptr) return 2;
        auto* mb = static_cast<shm_membuf*>(p);
        shm_ringbuf* rb = &mb->rb[std::stoi(arg)];
        pthread_mutex_lock(&rb->lock.mutex);
        // Announce bytes, so that the ring's reader has to take the lock, and
        // signal them as a writer does: the reader wakes for them at once.
        if (rb->has_data == 0) {
            rb->head = rb->tail = 0;
            rb->tail = 4;
            __atomic_store_n(&rb->has_data, 4, __ATOMIC_SEQ_CST);
        }
        shmi_event_signal(&rb->req);
        report("holding");
        hold_forever();
    }
    return 100;
}

ORV_TWO_PROCESS_CHILD_ENTRY(name_arg_entry<child_main>)

struct DeadlineFor {
    uint64_t saved = shmi_lock_deadline_us;
    explicit DeadlineFor(uint64_t us) { shmi_lock_deadline_us = us; }
    ~DeadlineFor() { shmi_lock_deadline_us = saved; }
};

// ---- a live peer holding a ring lock -----------------------------------------

TEST(LivePeerHoldingALock, ServerDropsTheConnectionAndServesAFreshObject) {
    LogCapture logs(false);
    DeadlineFor deadline(300000);
    std::string name = unique_name("holdsrv");
    Unlinker u{name};
    Events ev;
    shm_config c = config(name, &ev);
    shm_endpoint* srv = shm_srv_start(&c);
    ASSERT_NE(srv, nullptr);
    Child client, holder;
    spawn(client, "chatty_client", name);
    ASSERT_EQ(client.line(), "connected 1");
    ASSERT_TRUE(ev.wait([&] { return ev.bytes > 0; }));
    // Another local process maps the object and keeps the ring the server
    // reads locked while it stays alive.
    spawn(holder, "lock_holder", name, "1");
    ASSERT_EQ(holder.line(), "holding");
    auto t0 = Clock::now();
    ASSERT_TRUE(ev.wait([&] { return ev.disconnected == 1; }, 5000ms));
    EXPECT_LT(Clock::now() - t0, 3000ms) << "dropped within the deadline and a pass";
    EXPECT_EQ(logs.count_containing("broken peer"), 1);
    // The client finds the fresh object and data flows again, although the
    // holder is still alive and still holds its lock in the old object.
    EXPECT_EQ(client.line(), "connected 2");

    uint64_t before;
    {
        std::lock_guard<std::mutex> l(ev.m);
        before = ev.bytes;
    }
    EXPECT_TRUE(ev.wait([&] { return ev.connected == 2 && ev.bytes > before + 3; }));
    shm_stop(srv);
}

TEST(LivePeerHoldingALock, ClientDropsTheConnectionAndReconnects) {
    LogCapture logs(false);
    DeadlineFor deadline(300000);
    std::string name = unique_name("holdcli");
    Unlinker u{name};
    Child server, holder;
    spawn(server, "chatty_server", name);
    ASSERT_EQ(server.line(), "started");
    Events ev;
    shm_config c = config(name, &ev);
    shm_endpoint* cli = shm_cli_start(&c);
    ASSERT_NE(cli, nullptr);
    ASSERT_TRUE(ev.wait([&] { return ev.connected == 1 && ev.bytes > 0; }));
    spawn(holder, "lock_holder", name, "0");  // the ring the client reads
    ASSERT_EQ(holder.line(), "holding");
    auto t0 = Clock::now();
    ASSERT_TRUE(ev.wait([&] { return ev.disconnected >= 1; }, 5000ms));
    EXPECT_LT(Clock::now() - t0, 3000ms);
    EXPECT_GE(logs.count_containing("broken peer"), 1);
    // Back in the connect loop, and connected again.
    ASSERT_TRUE(ev.wait([&] { return ev.connected >= 2; }));
    // Once the holder is gone its lock is recovered and data flows again.
    holder.kill9();
    uint64_t before;
    {
        std::lock_guard<std::mutex> l(ev.m);
        before = ev.bytes;
    }
    EXPECT_TRUE(ev.wait([&] { return ev.bytes > before + 3; }, 15000ms));
    shm_stop(cli);
}

// ---- the owner hook ----------------------------------------------------------

std::atomic<int> g_owner_answer{-1};
std::atomic<long> g_owner_seen{-1};
std::atomic<int> g_owner_calls{0};
int owner_hook(void*, uid_t owner) {
    g_owner_seen = static_cast<long>(owner);
    g_owner_calls++;
    return g_owner_answer.load();
}

TEST(OwnerHook, RefusedOwnerIsLoggedOnceAndRetriedUntilAccepted) {
    LogCapture logs(false);
    std::string name = unique_name("owner");
    Unlinker u{name};
    Events sev, cev;
    shm_config sc = config(name, &sev);
    shm_endpoint* srv = shm_srv_start(&sc);
    ASSERT_NE(srv, nullptr);
    shm_config cc = config(name, &cev);
    cc.timeout_us = 50000;
    cc.on_owner = owner_hook;
    g_owner_answer = -1;
    shm_endpoint* cli = shm_cli_start(&cc);
    ASSERT_NE(cli, nullptr);
    // Refused: several attempts, no connection, one log line.
    for (int i = 0; i < 200 && g_owner_calls < 4; i++)
        usleep(10000);
    EXPECT_GE(g_owner_calls.load(), 4);
    EXPECT_EQ(g_owner_seen.load(), static_cast<long>(geteuid()));
    EXPECT_EQ(cev.connections(), 0);
    EXPECT_EQ(sev.connections(), 0) << "nothing was claimed in the refused object";
    EXPECT_EQ(logs.count_containing("refused"), 1);
    g_owner_answer = 0;
    EXPECT_TRUE(cev.wait([&] { return cev.connected == 1; }));
    shm_stop(cli);
    shm_stop(srv);
}

// ---- a server killed with -9 and started again -------------------------------

TEST(ServerRestart, ObjectOfAKilledServerIsTakenOverOneOfALiveServerIsNot) {
    LogCapture logs(false);
    std::string name = unique_name("takeover");
    Unlinker u{name};
    Events ev;
    shm_config c = config(name, &ev);
    Child old_server;
    spawn(old_server, "server_idle", name);
    ASSERT_EQ(old_server.line(), "started");
    // Alive: refused, and its object left as it is.
    EXPECT_EQ(shm_srv_start(&c), nullptr);
    EXPECT_EQ(logs.count_containing("taking it over"), 0);
    old_server.kill9();
    shm_endpoint* srv = shm_srv_start(&c);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(logs.count_containing("taking it over"), 1);
    // And it serves.
    Events cev;
    shm_config cc = config(name, &cev);
    shm_endpoint* cli = shm_cli_start(&cc);
    ASSERT_TRUE(ev.wait([&] { return ev.connected == 1; }));
    ASSERT_EQ(shm_write(cli, "hello", 5), 5);
    EXPECT_TRUE(ev.wait([&] { return ev.bytes == 5; }));
    shm_stop(cli);
    shm_stop(srv);
}

TEST(ServerRestart, ObjectThatIsNotAChannelIsNotTakenOver) {
    LogCapture logs(false);
    std::string name = unique_name("foreign");
    Unlinker u{name};
    ASSERT_TRUE(create_unbound_object(name, kSize));
    Events ev;
    shm_config c = config(name, &ev);
    EXPECT_EQ(shm_srv_start(&c), nullptr);
    EXPECT_EQ(logs.count_containing("taking it over"), 0);
}

}  // namespace
