// Server and client endpoints across two processes: data exchange, refusals,
// stale objects, peer deaths (kill -9) and wake-up latency.
//
// Peers run in children started through the shared two-process harness
// (TwoProcess.h): they re-execute this binary and report progress one line
// per event.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "shm_internal.h"
#include "channel_setup.h"
#include "two_process.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using namespace shmtest;

constexpr uint32_t kSize = 1u << 20;  // two rings of about 512 KiB
constexpr uint64_t kExchangeBytes = 64ull << 20;

// ---- shared receive state --------------------------------------------------

struct Sink : ChannelEvents {
    Fnv hash;
    uint64_t bytes = 0;
    std::string text;  // first bytes, for small messages
    std::vector<size_t> blocks;
};

int sink_data(void* u, shm_endpoint*, const uint8_t* d, size_t n) {
    auto* s = static_cast<Sink*>(u);
    std::lock_guard<std::mutex> l(s->m);
    s->hash.add(d, n);
    s->bytes += n;
    if (s->text.size() < 4096) s->text.append(reinterpret_cast<const char*>(d), n);
    s->blocks.push_back(n);
    s->cv.notify_all();
    return 0;
}

shm_config make_config(const std::string& name, Sink* sink, uint32_t size = kSize) {
    shm_config c = events_config(name, sink, size, 1000000);
    c.on_data = sink_data;
    return c;
}

// A server in this process, its callbacks reporting to `sink`.
shm_endpoint* start_server(const std::string& name, Sink& sink, uint32_t size = kSize) {
    shm_config c = make_config(name, &sink, size);
    return shm_srv_start(&c);
}

// A client in this process; it connects on its own thread.
shm_endpoint* start_client(const std::string& name, Sink& sink) {
    shm_config c = make_config(name, &sink);
    return shm_cli_start(&c);
}

// ---- children --------------------------------------------------------------

int echo_data(void*, shm_endpoint* ep, const uint8_t* d, size_t n) {
    size_t off = 0;
    while (off < n) {
        ssize_t r = shm_write(ep, d + off, n - off);
        if (r > 0)
            off += size_t(r);
        else
            usleep(20);
    }
    return 0;
}

int child_main(const std::string& role, const std::string& name, const std::string& arg) {
    static Sink sink;
    shm_config c = make_config(name, &sink);
    if (role == "client_exchange") {
        shm_endpoint* ep = shm_cli_start(&c);
        if (!sink.wait([] { return sink.connected > 0; })) return 2;
        if (!send_stream(ep, 2, kExchangeBytes)) return 3;
        if (!sink.wait([] { return sink.bytes >= kExchangeBytes; }, 120000ms)) return 4;
        report("hash " + std::to_string(sink.hash.h) + " " + std::to_string(sink.bytes));
        shm_stop(ep);
        return 0;
    }
    if (role == "client_idle") {  // connected, consumes nothing
        c.on_data = nullptr;
        shm_cli_start(&c);
        if (!sink.wait([] { return sink.connected > 0; })) return 2;
        report("connected");
        hold_forever();
    }
    if (role == "client_hold_ring") {  // dies inside ring 1's lock, mid-write
        shm_cli_start(&c);
        if (!sink.wait([] { return sink.connected > 0; })) return 2;
        void* p = map_object(name, kSize);
        if (p == nullptr) return 3;
        auto* mb = static_cast<shm_membuf*>(p);
        shm_ringbuf* rb = &mb->rb[1];
        pthread_mutex_lock(&rb->lock.mutex);
        std::memcpy(static_cast<uint8_t*>(p) + rb->pbuf + rb->tail, "HELD", 4);
        rb->tail += 4;
        rb->has_data += 4;
        report("holding");
        hold_forever();
    }
    if (role == "server_hold") {  // serves, greets each client, never stops
        static std::string greeting = arg;
        c.on_connected = [](void*, shm_endpoint* ep) {
            shm_write(ep, greeting.data(), greeting.size());
            report("connected");
            return 0;
        };
        if (start_server_retrying(c, 400) == nullptr) return 2;
        report("started");
        hold_forever();
    }
    if (role == "server_echo") {
        c.on_data = echo_data;
        if (start_server_retrying(c, 400) == nullptr) return 2;
        report("started");
        hold_forever();
    }
    return 100;
}

ORV_TWO_PROCESS_CHILD_ENTRY(name_arg_entry<child_main>)

// ---- helpers for the parent side -------------------------------------------

// Read-only view of the object's control block, to check the flags.
struct Peek {
    explicit Peek(const std::string& name) {
        int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd >= 0) {
            void* m = mmap(nullptr, SHM_MEMBUF_SIZE, PROT_READ, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED) p = static_cast<const shm_membuf*>(m);
            close(fd);
        }
    }
    ~Peek() {
        if (p != nullptr) munmap(const_cast<shm_membuf*>(p), SHM_MEMBUF_SIZE);
    }
    uint32_t flags() const { return __atomic_load_n(&p->flags, __ATOMIC_ACQUIRE); }
    const shm_membuf* p = nullptr;
};

bool object_exists(const std::string& name) {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Starts the peer `role` and returns the first line it reports.
std::string start_peer(Child& c, const std::string& role, const std::string& name, const std::string& arg = "") {
    spawn(c, role, name, arg);
    return c.line();
}

// ---- tests -----------------------------------------------------------------

TEST(Endpoint, BadArgumentsAreRefused) {
    EXPECT_EQ(shm_stop(nullptr), -EINVAL);
    EXPECT_EQ(shm_write(nullptr, "x", 1), -EINVAL);
    EXPECT_EQ(shm_read(nullptr, nullptr, 1), -EINVAL);
    std::string name = unique_name("args");
    Unlinker u{name};
    Sink sink;
    shm_endpoint* cli = start_client(name, sink);  // no server: not mapped yet
    ASSERT_NE(cli, nullptr);
    char b[4];
    EXPECT_EQ(shm_write(cli, "x", 1), -EINVAL);
    EXPECT_EQ(shm_read(cli, b, sizeof b), -EINVAL);
    EXPECT_EQ(shm_write(cli, nullptr, 1), -EINVAL);
    auto t0 = Clock::now();
    EXPECT_EQ(shm_stop(cli), 0);
    EXPECT_LT(Clock::now() - t0, 900ms);  // a pause is cut short by the stop
}

TEST(Endpoint, ExchangeBothWaysAtOnceKeepsEveryByte) {
    std::string name = unique_name("exchange");
    Unlinker u{name};
    Sink sink;
    shm_endpoint* srv = start_server(name, sink);
    ASSERT_NE(srv, nullptr);
    Child child;
    spawn(child, "client_exchange", name);
    ASSERT_TRUE(sink.wait_connected());
    ASSERT_TRUE(send_stream(srv, 1, kExchangeBytes));
    ASSERT_TRUE(sink.wait([&] { return sink.bytes >= kExchangeBytes; }, 120000ms));
    std::string rep = child.line(120000ms);
    EXPECT_EQ(rep, "hash " + std::to_string(expected_hash(1, kExchangeBytes)) + " " + std::to_string(kExchangeBytes));
    EXPECT_EQ(sink.bytes, kExchangeBytes);
    EXPECT_EQ(sink.hash.h, expected_hash(2, kExchangeBytes));
    EXPECT_EQ(child.wait_exit(), 0);
    ASSERT_TRUE(sink.wait([&] { return sink.disconnected > 0; }));
    EXPECT_EQ(shm_stop(srv), 0);
    EXPECT_FALSE(object_exists(name));
}

TEST(Endpoint, OnDataHandsAtMostChunkBytes) {
    std::string name = unique_name("chunk");
    Unlinker u{name};
    Sink ssink, csink;
    shm_config sc = make_config(name, &ssink);
    sc.chunk = 8192;
    shm_endpoint* srv = shm_srv_start(&sc);
    ASSERT_NE(srv, nullptr);
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait_connected());
    std::vector<uint8_t> data(20000, 0x5a);
    ASSERT_EQ(shm_write(cli, data.data(), data.size()), 20000);
    ASSERT_TRUE(ssink.wait([&] { return ssink.bytes >= 20000; }));
    EXPECT_EQ(ssink.blocks, (std::vector<size_t>{8192, 8192, 3616}));
    shm_stop(cli);
    shm_stop(srv);
}

// The server's application reads only when the test says so (from the test's
// thread, as another thread of an application may).
int leave_unread(void*, shm_endpoint*, uint32_t) {
    return 0;
}

TEST(Endpoint, ReserveAllGivesTheWholeLengthOrNothing) {
    std::string name = unique_name("all");
    Unlinker u{name};
    Sink ssink, csink;
    shm_config sc = make_config(name, &ssink);
    sc.on_data = nullptr;
    sc.on_data_available = leave_unread;
    shm_endpoint* srv = shm_srv_start(&sc);
    ASSERT_NE(srv, nullptr);
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait_connected());
    const size_t capacity = (kSize - SHM_MEMBUF_SIZE) / 2;
    shm_span sp[2];
    EXPECT_EQ(shm_reserve_all(cli, capacity + 1, sp, 1000), -EMSGSIZE);

    // Fill the ring, then let the reader take 100 bytes: 100 free.
    std::vector<uint8_t> fill(capacity, 0x33);
    size_t put = 0;
    while (put < capacity) {
        ssize_t r = shm_write(cli, fill.data() + put, capacity - put);
        ASSERT_GT(r, 0);
        put += size_t(r);
    }
    std::vector<uint8_t> got(capacity);
    ASSERT_EQ(shm_read(srv, got.data(), 100), 100);

    // 101 bytes do not come within the deadline, and nothing is reserved:
    // the plain reservation still finds exactly the 100.
    auto t0 = Clock::now();
    EXPECT_EQ(shm_reserve_all(cli, 101, sp, 50000), -ENOSPC);
    EXPECT_GE(Clock::now() - t0, 50ms);
    ASSERT_EQ(shm_reserve(cli, 101, sp, 0), 100);
    EXPECT_EQ(shm_commit(cli, 0), 0);

    // A reader that frees one more byte ends the wait with all 101.
    std::thread reader([&] {
        std::this_thread::sleep_for(100ms);
        uint8_t b;
        EXPECT_EQ(shm_read(srv, &b, 1), 1);
    });
    t0 = Clock::now();
    ASSERT_EQ(shm_reserve_all(cli, 101, sp, 5000000), 101);
    EXPECT_LT(Clock::now() - t0, 4s);
    EXPECT_EQ(sp[0].len + sp[1].len, 101u);
    std::memset(sp[0].data, 0x44, sp[0].len);
    std::memset(sp[1].data, 0x44, sp[1].len);
    EXPECT_EQ(shm_commit(cli, 101), 0);
    reader.join();

    // The reader sees the rest of the fill, then the 101 bytes, whole.
    size_t want = capacity, have = 0;
    while (have < want) {
        ssize_t r = shm_read(srv, got.data() + have, want - have);
        ASSERT_GT(r, 0);
        have += size_t(r);
    }
    EXPECT_EQ(std::count(got.begin(), got.begin() + long(capacity - 101), 0x33), long(capacity - 101));
    EXPECT_EQ(std::count(got.begin() + long(capacity - 101), got.begin() + long(want), 0x44), 101);
    shm_stop(cli);
    shm_stop(srv);
}

TEST(Endpoint, BadSizeLeavesTheClaimClearAndTheClientWaitsForASoundObject) {
    std::string name = unique_name("badsize");
    Unlinker u{name};
    Sink ssink, csink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    LogCapture log(true);
    shm_config cc = make_config(name, &csink, kSize / 2);
    cc.timeout_us = 50000;
    shm_endpoint* cli = shm_cli_start(&cc);
    log.await(3, "error connecting (37198): connect error: Bad size\n", 3000ms);
    {
        Peek peek(name);
        ASSERT_NE(peek.p, nullptr);
        EXPECT_EQ(peek.flags(), 1u);
    }
    usleep(300000);
    // Said once for that object, though the client looked again several times.
    EXPECT_EQ(log.count(3, "error connecting (37198): connect error: Bad size\n"), 1);
    EXPECT_EQ(csink.connections(), 0);
    EXPECT_EQ(ssink.connections(), 0);
    // The object the client cannot use goes; a sound one takes its place, and
    // the client that kept looking connects to it.
    shm_stop(srv);
    Sink ssink2;
    shm_endpoint* srv2 = start_server(name, ssink2, kSize / 2);
    ASSERT_NE(srv2, nullptr);
    EXPECT_TRUE(csink.wait([&] { return csink.connected == 1; }));
    EXPECT_EQ(shm_stop(cli), 0);
    shm_stop(srv2);
}

TEST(Endpoint, SecondClientIsToldBusyAndGetsInAfterTheFirstDies) {
    std::string name = unique_name("second");
    Unlinker u{name};
    Sink ssink, csink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    Child first;
    ASSERT_EQ(start_peer(first, "client_idle", name), "connected");
    LogCapture log(true);
    shm_endpoint* cli = start_client(name, csink);
    const std::string busy = "error connecting (37196): connect error: already connected\n";
    log.await(7, busy, 3000ms);
    EXPECT_GE(log.count(7, busy), 1);
    EXPECT_EQ(log.count(3, busy), 0);
    EXPECT_EQ(csink.connections(), 0);
    first.kill9();
    EXPECT_TRUE(csink.wait_connected(6000ms));
    EXPECT_TRUE(ssink.wait([&] { return ssink.connected == 2; }, 6000ms));
    shm_stop(cli);
    shm_stop(srv);
}

TEST(Endpoint, StaleUnboundObjectIsRemovedByAClientSoAServerCanStart) {
    std::string name = unique_name("stale");
    Unlinker u{name};
    ASSERT_TRUE(create_unbound_object(name, kSize));
    Sink ssink, csink;
    EXPECT_EQ(start_server(name, ssink), nullptr);  // the name is taken
    shm_endpoint* cli = start_client(name, csink);
    bool gone = false;
    for (int i = 0; i < 500 && !gone; i++) {
        gone = !object_exists(name);
        usleep(10000);
    }
    EXPECT_TRUE(gone);
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    EXPECT_TRUE(csink.wait_connected(5000ms));
    shm_stop(cli);
    shm_stop(srv);
}

TEST(Endpoint, ObjectBeingSetUpIsNeitherMappedEarlyNorUnlinked) {
    // The server created the object but has not sized it yet.
    std::string name = unique_name("setup");
    Unlinker u{name};
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    struct stat st0;
    ASSERT_EQ(fstat(fd, &st0), 0);
    Sink csink;
    LogCapture log(true);
    shm_endpoint* cli = start_client(name, csink);
    const std::string not_ready = "error connecting (37200): connect error: Shared memory is not ready\n";
    log.await(7, not_ready, 1500ms);
    ASSERT_EQ(log.count(7, not_ready), 1);
    // Finish the set-up well before the client's next attempt.
    ASSERT_EQ(ftruncate(fd, kSize), 0);
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(p, MAP_FAILED);
    auto* mb = static_cast<shm_membuf*>(p);
    ASSERT_EQ(shmi_mb_bind(mb, kSize), 0);
    EXPECT_TRUE(csink.wait_connected(5000ms));
    struct stat st1;
    ASSERT_EQ(stat(("/dev/shm" + name).c_str(), &st1), 0);
    EXPECT_EQ(st1.st_ino, st0.st_ino);  // still the object being set up
    EXPECT_EQ(shmi_mb_flags(mb), 3u);
    shm_stop(cli);
    EXPECT_EQ(shmi_mb_flags(mb) & SHM_FLAG_CONNECTED, 0u);
    shmi_mb_unbind(mb);
    munmap(p, kSize);
    close(fd);
}

TEST(Endpoint, KilledClientIsNoticedAndTheNextOneStartsEmpty) {
    std::string name = unique_name("killcli");
    Unlinker u{name};
    Sink ssink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    Child child;
    ASSERT_EQ(start_peer(child, "client_idle", name), "connected");
    ASSERT_TRUE(ssink.wait([&] { return ssink.connected == 1; }));
    ASSERT_EQ(shm_write(srv, "stale", 5), 5);  // the idle client never reads it
    auto killed = Clock::now();
    child.kill9();
    ASSERT_TRUE(ssink.wait([&] { return ssink.disconnected == 1; }, 5000ms));
    EXPECT_LT(ssink.disconnected_at - killed, 1500ms);
    Sink csink;
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait_connected(5000ms));
    ASSERT_EQ(shm_write(srv, "fresh", 5), 5);
    ASSERT_TRUE(csink.wait([&] { return csink.bytes >= 5; }));
    usleep(100000);
    EXPECT_EQ(csink.text, "fresh");
    shm_stop(cli);
    shm_stop(srv);
}

TEST(Endpoint, WriterNeverHangsAfterItsReaderWasKilledMidWait) {
    std::string name = unique_name("midwait");
    Unlinker u{name};
    Sink ssink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    Peek peek(name);
    ASSERT_NE(peek.p, nullptr);
    for (int round = 0; round < 3; round++) {
        Child child;
        ASSERT_EQ(start_peer(child, "client_idle", name), "connected");
        // The idle client sits in the event wait of ring 0.
        bool waiting = false;
        for (int i = 0; i < 300 && !waiting; i++) {
            waiting = __atomic_load_n(&peek.p->rb[0].req.waiting, __ATOMIC_ACQUIRE) == 1;
            usleep(5000);
        }
        ASSERT_TRUE(waiting);
        child.kill9();
        // Writes and their signals right after the death, before and after the
        // server has noticed it; run them where a hang can be detected.
        auto writes = std::async(std::launch::async, [&] {
            int ok = 0;
            auto end = Clock::now() + 1500ms;
            while (Clock::now() < end) {
                char b[16] = "ping";
                if (shm_write(srv, b, sizeof b) > 0) ok++;
                char sink_buf[64];
                while (shm_read(srv, sink_buf, sizeof sink_buf) > 0) {}
                usleep(2000);
            }
            return ok;
        });
        if (writes.wait_for(20s) != std::future_status::ready) {
            ADD_FAILURE() << "shm_write blocked after the reader died";
            _exit(1);  // the blocked thread cannot be collected
        }
        EXPECT_GT(writes.get(), 0);
        ASSERT_TRUE(ssink.wait([&] { return ssink.disconnected == round + 1; }, 5000ms));
    }
    // A new reader that waits on the same ring gets the server's signals.
    Sink csink;
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait_connected(5000ms));
    usleep(50000);
    auto t0 = Clock::now();
    auto w = std::async(std::launch::async, [&] { return shm_write(srv, "after", 5); });
    if (w.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "shm_write blocked on a rebuilt channel";
        _exit(1);
    }
    EXPECT_EQ(w.get(), 5);
    ASSERT_TRUE(csink.wait([&] { return csink.bytes >= 5; }));
    EXPECT_LT(Clock::now() - t0, 500ms);
    shm_stop(cli);
    shm_stop(srv);
}

TEST(Endpoint, KilledServerIsNoticedAndTheClientReconnectsToANewOne) {
    std::string name = unique_name("killsrv");
    Unlinker u{name};
    Child first;
    ASSERT_EQ(start_peer(first, "server_hold", name, "hello-1"), "started");
    Sink csink;
    LogCapture log(true);
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait([&] { return csink.text == "hello-1"; }));
    auto killed = Clock::now();
    first.kill9();
    ASSERT_TRUE(csink.wait([&] { return csink.disconnected == 1; }, 5000ms));
    EXPECT_LT(csink.disconnected_at - killed, 1500ms);
    Child second;
    ASSERT_EQ(start_peer(second, "server_hold", name, "hello-2"), "started");
    ASSERT_TRUE(csink.wait([&] { return csink.connected == 2; }, 8000ms));
    EXPECT_TRUE(csink.wait([&] { return csink.text == "hello-1hello-2"; }));
    std::string trying = "shm_cli " + name + " trying to connect, timeout 1.000 sec\n";
    EXPECT_EQ(log.count(6, trying), 2);
    shm_stop(cli);
}

TEST(Endpoint, WriterKilledHoldingTheRingLockDoesNotBreakTheChannel) {
    std::string name = unique_name("ringlock");
    Unlinker u{name};
    Sink ssink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    Child child;
    ASSERT_EQ(start_peer(child, "client_hold_ring", name), "holding");
    child.kill9();
    ASSERT_TRUE(ssink.wait([&] { return ssink.disconnected == 1; }, 5000ms));
    // The server took the dead writer's lock over and read what it published,
    // unless it noticed the hang-up first: then the rings were rebuilt empty
    // for the next client, which is just as sound.
    const std::string before = ssink.text;
    EXPECT_TRUE(before == "HELD" || before.empty()) << before;
    Sink csink;
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait_connected(5000ms));
    ASSERT_EQ(shm_write(cli, "after", 5), 5);
    ASSERT_EQ(shm_write(srv, "back", 4), 4);
    EXPECT_TRUE(ssink.wait([&] { return ssink.text == before + "after"; }));
    EXPECT_TRUE(csink.wait([&] { return csink.text == "back"; }));
    shm_stop(cli);
    shm_stop(srv);
}

TEST(Endpoint, PingPongHasNoStalledRoundTrip) {
    std::string name = unique_name("pingpong");
    Unlinker u{name};
    Child child;
    ASSERT_EQ(start_peer(child, "server_echo", name), "started");
    Sink csink;
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait_connected(5000ms));
    char msg[32];
    std::memset(msg, 'p', sizeof msg);
    Clock::duration worst{};
    for (int i = 0; i < 10000; i++) {
        uint64_t want = uint64_t(i + 1) * sizeof msg;
        auto t0 = Clock::now();
        ASSERT_EQ(shm_write(cli, msg, sizeof msg), ssize_t(sizeof msg));
        ASSERT_TRUE(csink.wait([&] { return csink.bytes >= want; }, 5000ms)) << i;
        worst = std::max(worst, Clock::now() - t0);
    }
    // A lost wake-up costs the reader's whole backstop wait; anything well
    // below a second is scheduling (ThreadSanitizer slows each step down a lot).
#if defined(__SANITIZE_THREAD__)
    constexpr auto kStalled = 500ms;
#else
    constexpr auto kStalled = 100ms;
#endif
    EXPECT_LT(worst, kStalled) << std::chrono::duration_cast<std::chrono::microseconds>(worst).count() << " us";
    shm_stop(cli);
}

TEST(Endpoint, TryingToConnectIsLoggedOnceWithTheTimeout) {
    std::string name = unique_name("trying");
    Sink csink;
    shm_config cc = make_config(name, &csink);
    cc.timeout_us = 1200000;
    LogCapture log(true);
    shm_endpoint* cli = shm_cli_start(&cc);
    usleep(2500000);
    EXPECT_EQ(log.count(6, "shm_cli " + name + " trying to connect, timeout 1.200 sec\n"), 1);
    shm_stop(cli);
    EXPECT_EQ(log.count(6, "shm_cli " + name + " stopped as interrupted\n"), 1);
}

// ---- the idle wait ---------------------------------------------------------

// Raises the idle backstop for one test, so that any event that reached the
// reader only through the backstop makes the test's bounded waits fail.
struct Backstop {
    explicit Backstop(uint64_t us) : saved(__atomic_load_n(&shmi_idle_backstop_us, __ATOMIC_RELAXED)) { set(us); }
    ~Backstop() { set(saved); }
    static void set(uint64_t us) { __atomic_store_n(&shmi_idle_backstop_us, us, __ATOMIC_RELAXED); }
    uint64_t saved;
};

// Waits until both readers sleep on their ring's event.
bool both_readers_asleep(const Peek& peek) {
    for (int i = 0; i < 400; i++) {
        if (__atomic_load_n(&peek.p->rb[0].req.waiting, __ATOMIC_ACQUIRE) == 1 &&
            __atomic_load_n(&peek.p->rb[1].req.waiting, __ATOMIC_ACQUIRE) == 1)
            return true;
        usleep(5000);
    }
    return false;
}

// Runs shm_stop where a hang can be told from a prompt return.
void stop_or_fail(shm_endpoint* ep, const char* what) {
    auto f = std::async(std::launch::async, [ep] { return shm_stop(ep); });
    if (f.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << what << ": shm_stop did not return";
        _exit(1);  // the blocked thread cannot be collected
    }
    EXPECT_EQ(f.get(), 0) << what;
}

TEST(IdleWait, SleepingReadersWakeForDataDepartureAndStopWithoutTheBackstop) {
    Backstop forever(3600ull * 1000000u);
    std::string name = unique_name("idlewake");
    Unlinker u{name};
    Sink ssink, csink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    Peek peek(name);
    ASSERT_NE(peek.p, nullptr);
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait([&] { return csink.connected == 1; }));
    ASSERT_TRUE(ssink.wait([&] { return ssink.connected == 1; }));

    // Data each way, each reader asleep before it comes.
    ASSERT_TRUE(both_readers_asleep(peek));
    ASSERT_EQ(shm_write(srv, "down", 4), 4);
    EXPECT_TRUE(csink.wait([&] { return csink.text == "down"; }));
    ASSERT_TRUE(both_readers_asleep(peek));
    ASSERT_EQ(shm_write(cli, "up", 2), 2);
    EXPECT_TRUE(ssink.wait([&] { return ssink.text == "up"; }));

    // A client that leaves is seen by the sleeping server, and its own stop
    // does not wait for a backstop.
    ASSERT_TRUE(both_readers_asleep(peek));
    stop_or_fail(cli, "idle client");
    EXPECT_TRUE(ssink.wait([&] { return ssink.disconnected == 1; }));

    // A server that stops is seen by the sleeping client.
    Sink csink2;
    shm_endpoint* cli2 = start_client(name, csink2);
    ASSERT_TRUE(csink2.wait([&] { return csink2.connected == 1; }));
    ASSERT_TRUE(ssink.wait([&] { return ssink.connected == 2; }));
    ASSERT_TRUE(both_readers_asleep(peek));
    stop_or_fail(srv, "idle server");
    EXPECT_TRUE(csink2.wait([&] { return csink2.disconnected == 1; }));
    stop_or_fail(cli2, "client of a stopped server");
}

// Publishes bytes in ring 0 the way a peer that forgets the signal would:
// under the ring lock, without touching the event.
void publish_unsignalled(shm_membuf* mb, const char* text) {
    shm_ringbuf* rb = &mb->rb[0];
    size_t n = std::strlen(text);
    pthread_mutex_lock(&rb->lock.mutex);
    std::memcpy(reinterpret_cast<uint8_t*>(mb) + rb->pbuf + rb->tail, text, n);
    rb->tail += n;
    __atomic_store_n(&rb->has_data, rb->has_data + n, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&rb->lock.mutex);
}

TEST(IdleWait, DataPublishedWithoutASignalIsReadAndThePeerIsThenLookedAtEverySecond) {
    Backstop backstop(300000u);
    std::string name = unique_name("unsignalled");
    Unlinker u{name};
    Sink ssink, csink;
    shm_endpoint* srv = start_server(name, ssink);
    ASSERT_NE(srv, nullptr);
    void* m = map_object(name, kSize);
    ASSERT_NE(m, nullptr);
    auto* mb = static_cast<shm_membuf*>(m);
    LogCapture log(true);
    shm_endpoint* cli = start_client(name, csink);
    ASSERT_TRUE(csink.wait([&] { return csink.connected == 1; }));
    ASSERT_TRUE(ssink.wait([&] { return ssink.connected == 1; }));
    for (int i = 0; i < 400 && __atomic_load_n(&mb->rb[0].req.waiting, __ATOMIC_ACQUIRE) != 1; i++)
        usleep(5000);

    // No signal ever comes: only the backstop finds the bytes.
    publish_unsignalled(mb, "quiet");
    EXPECT_TRUE(csink.wait([&] { return csink.text == "quiet"; }));
    std::string seen = "shm_cli " + name + ": data arrived without a signal, looking every second\n";
    EXPECT_TRUE(csink.wait([&] { return log.count(7, seen) == 1; }, 2000ms));

    // That peer has shown it does not signal: the long backstop no longer
    // applies to it, and its next message is found within about a second.
    Backstop::set(3600ull * 1000000u);
    usleep(1200000);  // the reader is back asleep, on the short backstop
    publish_unsignalled(mb, "again");
    EXPECT_TRUE(csink.wait([&] { return csink.text == "quietagain"; }, 10000ms));

    stop_or_fail(cli, "client");
    stop_or_fail(srv, "server");
    munmap(m, kSize);
}

}  // namespace
