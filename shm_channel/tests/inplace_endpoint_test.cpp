// In-place endpoint calls against a peer process built only from the
// copying calls (as the host agent is): 256 MiB each way with random
// message sizes, byte-exact, with the parent as server and as client.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "shm_internal.h"
#include "channel_setup.h"
#include "two_process.h"

namespace {

using namespace shmtest;

constexpr uint32_t kSize = 1u << 20;
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer slows every byte down some fifty times: the same mix of
// sizes and wraps, on a smaller stream.
constexpr uint64_t kBigBytes = 32ull << 20;
#else
constexpr uint64_t kBigBytes = 256ull << 20;
#endif

struct Events : ChannelEvents {
    Fnv hash;
    uint64_t bytes = 0;
};

// The copying receiver: bytes handed over by the endpoint's thread.
int ev_data(void* u, shm_endpoint*, const uint8_t* d, size_t n) {
    auto* e = static_cast<Events*>(u);
    std::lock_guard<std::mutex> l(e->m);
    e->hash.add(d, n);
    e->bytes += n;
    e->cv.notify_all();
    return 0;
}
// The in-place receiver: looks at the ring and releases a random part of
// what it saw (sometimes nothing, sometimes all).
std::mt19937 g_consume_sizes{99};
int ev_available(void* u, shm_endpoint* ep, uint32_t) {
    auto* e = static_cast<Events*>(u);
    shm_span sp[2];
    ssize_t n = shm_peek(ep, sp);
    if (n <= 0) return 0;
    size_t take = static_cast<size_t>(n);
    if (g_consume_sizes() % 4 == 0) take = std::uniform_int_distribution<size_t>(0, take)(g_consume_sizes);
    std::lock_guard<std::mutex> l(e->m);
    size_t first = std::min(take, sp[0].len);
    e->hash.add(sp[0].data, first);
    e->hash.add(sp[1].data, take - first);
    e->bytes += take;
    if (shm_consume(ep, take) != 0) _exit(77);  // a contract broken here must not pass silently
    e->cv.notify_all();
    return 0;
}

shm_config config(const std::string& name, Events* e, bool in_place) {
    shm_config c = events_config(name, e, kSize, 200000);
    if (in_place)
        c.on_data_available = ev_available;
    else
        c.on_data = ev_data;
    return c;
}

// In-place sender: reserves random sizes, fills the spans straight from the
// stream and commits all or a random part of what it reserved.
bool send_in_place(shm_endpoint* ep, uint64_t seed, uint64_t total) {
    Stream s(seed);
    std::mt19937 sizes{static_cast<unsigned>(seed) + 1};
    uint64_t sent = 0;
    while (sent < total) {
        size_t want = std::uniform_int_distribution<size_t>(1, 70000)(sizes);
        want = static_cast<size_t>(std::min<uint64_t>(want, total - sent));
        shm_span sp[2];
        ssize_t r = shm_reserve(ep, want, sp, 60000000);
        if (r <= 0) return false;
        size_t commit = static_cast<size_t>(r);
        if (sizes() % 4 == 0) commit = std::uniform_int_distribution<size_t>(0, commit)(sizes);
        size_t left = commit;
        for (auto& span : sp) {
            size_t n = std::min(left, span.len);
            for (size_t i = 0; i < n; i++)
                span.data[i] = s.next();
            left -= n;
        }
        if (shm_commit(ep, commit) != 0) return false;
        sent += commit;
    }
    return true;
}

int child_main(const std::string& role, const std::string& name, const std::string&) {
    static Events ev;
    shm_config c = config(name, &ev, false);
    if (role == "copy_client" || role == "copy_server") {
        shm_endpoint* ep = role == "copy_client" ? shm_cli_start(&c) : nullptr;
        if (role == "copy_server") {
            if ((ep = start_server_retrying(c, 200)) == nullptr) return 2;
            report("started");
        }
        if (!ev.wait([] { return ev.connected > 0; })) return 3;
        if (!send_stream(ep, 11, kBigBytes)) return 4;
        if (!ev.wait([] { return ev.bytes >= kBigBytes; }, 240000ms)) return 5;
        report("hash " + std::to_string(ev.hash.h) + " " + std::to_string(ev.bytes));
        // Stay until the parent has what it needs.
        if (!ev.wait([] { return ev.disconnected > 0; }, 3600000ms)) return 6;
        shm_stop(ep);
        return 0;
    }
    return 100;
}

ORV_TWO_PROCESS_CHILD_ENTRY(name_arg_entry<child_main>)

// ---- 256 MiB each way ------------------------------------------------------

void big_exchange(bool parent_is_server) {
    shm_log_set_handler(quiet_log, 0, 1, 2);
    std::string name = unique_name(parent_is_server ? "bigsrv" : "bigcli");
    Unlinker u{name};
    Events ev;
    shm_config c = config(name, &ev, true);
    Child peer;
    shm_endpoint* ep = nullptr;
    if (parent_is_server) {
        ep = shm_srv_start(&c);
        ASSERT_NE(ep, nullptr);
        spawn(peer, "copy_client", name);
    } else {
        spawn(peer, "copy_server", name);
        ASSERT_EQ(peer.line(), "started");
        ep = shm_cli_start(&c);
        ASSERT_NE(ep, nullptr);
    }
    ASSERT_TRUE(ev.wait([&] { return ev.connected > 0; }));
    ASSERT_TRUE(send_in_place(ep, 11, kBigBytes));
    ASSERT_TRUE(ev.wait([&] { return ev.bytes >= kBigBytes; }, 240000ms));
    std::string got = peer.line(240000ms);
    {
        std::lock_guard<std::mutex> l(ev.m);
        EXPECT_EQ(ev.bytes, kBigBytes);
        EXPECT_EQ(ev.hash.h, expected_hash(11, kBigBytes)) << "in-place reader";
    }
    EXPECT_EQ(got, "hash " + std::to_string(expected_hash(11, kBigBytes)) + " " + std::to_string(kBigBytes))
        << "copying peer";
    shm_stop(ep);
    EXPECT_EQ(peer.wait_exit(), 0);
    shm_log_set_handler(nullptr, 0, 1, 2);
}

TEST(InPlaceEndpoint, ServerInPlaceAgainstCopyingClient256MiBEachWay) {
    big_exchange(true);
}
TEST(InPlaceEndpoint, ClientInPlaceAgainstCopyingServer256MiBEachWay) {
    big_exchange(false);
}

}  // namespace
