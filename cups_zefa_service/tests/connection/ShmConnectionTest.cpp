#include "connection/ShmConnection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "FrameBytes.h"
#include "LogCapture.h"

namespace czs {
namespace {

using test::cat;
using test::frame;

// The host side: a shared-memory server that records what it receives.
class Server {
public:
    explicit Server(const std::string& name, uint32_t size) {
        shm_config cfg;
        shm_config_init(&cfg);
        cfg.name = name.c_str();
        cfg.size = size;
        cfg.on_connected = [](void* u, shm_endpoint*) {
            static_cast<Server*>(u)->connected = true;
            return 0;
        };
        cfg.on_data = [](void* u, shm_endpoint*, const uint8_t* d, size_t n) {
            auto* s = static_cast<Server*>(u);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->received.insert(s->received.end(), d, d + n);
            return 0;
        };
        cfg.user_data = this;
        ep = shm_srv_start(&cfg);
    }
    ~Server() { stop(); }
    void stop() {
        if (ep) {
            shm_stop(ep);
            ep = nullptr;
        }
    }
    void send(const std::vector<uint8_t>& b) {
        std::size_t off = 0;
        while (off < b.size()) {
            ssize_t r = shm_write(ep, b.data() + off, b.size() - off);
            if (r > 0) {
                off += static_cast<std::size_t>(r);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    }
    std::vector<uint8_t> bytes() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    shm_endpoint* ep = nullptr;
    std::atomic<bool> connected{false};
    std::mutex mutex;
    std::vector<uint8_t> received;
};

std::string uniqueName(const char* what) { return std::string("czs_test_") + what + "_" + std::to_string(getpid()); }

ShmConnection::Options options(const std::string& name, uint32_t size) {
    ShmConnection::Options o;
    o.name = name;
    o.presencePath = "/dev/shm/" + name;
    o.size = size;
    o.timeoutUs = 1000000;
    o.writeStallLimit = std::chrono::milliseconds(2000);
    return o;
}

template <typename Pred>
bool waitFor(Pred p, int ms = 5000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (p()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return p();
}

uint8_t* mallocCopy(const std::vector<uint8_t>& b) {
    auto* p = static_cast<uint8_t*>(std::malloc(b.size()));
    std::memcpy(p, b.data(), b.size());
    return p;
}

TEST(ShmConnection, AMissingObjectFailsTheOpenWithItsLogLine) {
    test::LogCapture log;
    asio::io_context io;
    ShmConnection c(io, nullptr, options(uniqueName("missing"), 65536));
    EXPECT_TRUE(c.open());
    const std::string name = uniqueName("missing");
    EXPECT_TRUE(log.contains("[ShmConnection]:[open]: opening shm reader: " + name + "\n"));
    EXPECT_TRUE(log.contains("[ShmConnection]:[open_quor_reader]: cannot find '" + name + "' \n"));
}

TEST(ShmConnection, FramesFromTheHostArriveWholeOneByOneAndInOrder) {
    test::LogCapture log;
    const std::string name = uniqueName("frames");
    Server server(name, 1 << 20);
    ASSERT_NE(server.ep, nullptr);
    asio::io_context io;
    std::mutex m;
    std::vector<RawStreamData> got;
    ShmConnection c(io, [&](const RawStreamData& d) {
        std::lock_guard<std::mutex> lock(m);
        got.push_back(d);
    }, options(name, 1 << 20));
    ASSERT_FALSE(c.open());
    ASSERT_TRUE(waitFor([&] { return server.connected.load() && c.connected(); }));
    EXPECT_TRUE(log.contains("[ShmConnection]:[cli_connected]: "));

    auto f1 = frame("one");
    auto f2 = frame(std::string(200000, 'b'));  // read over several notifications
    auto f3 = frame("three");
    auto stream = cat(cat(cat(test::bytes("junk"), f1), f2), f3);
    server.send({stream.begin(), stream.begin() + 20});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.send({stream.begin() + 20, stream.end()});
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return got.size() >= 3;
    }));
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], f1);
    EXPECT_EQ(got[1], f2);
    EXPECT_EQ(got[2], f3);
    EXPECT_TRUE(log.contains("[ShmConnection]:[channel_state]: dropped 4 bytes"));
}

TEST(ShmConnection, FramesLargerThanTheRingAndFromTwoThreadsArriveWholeAndUnmixed) {
    test::LogCapture log;
    const std::string name = uniqueName("write");
    const uint32_t size = 64 * 1024;  // rings of about 32 KiB
    Server server(name, size);
    ASSERT_NE(server.ep, nullptr);
    asio::io_context io;
    ShmConnection c(io, nullptr, options(name, size));
    ASSERT_FALSE(c.open());
    ASSERT_TRUE(waitFor([&] { return c.connected(); }));

    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 20; ++i) {
        frames.push_back(frame(std::string(30000 + 1000 * i, static_cast<char>('A' + i))));
    }
    std::size_t total = 0;
    for (auto& f : frames) {
        total += f.size();
    }
    std::thread a([&] {
        for (int i = 0; i < 20; i += 2) c.write(mallocCopy(frames[i]), frames[i].size());
    });
    std::thread b([&] {
        for (int i = 1; i < 20; i += 2) c.write(mallocCopy(frames[i]), frames[i].size());
    });
    a.join();
    b.join();
    ASSERT_TRUE(waitFor([&] { return server.bytes().size() >= total; }));
    auto bytes = server.bytes();
    ASSERT_EQ(bytes.size(), total);
    // Cut the stream by the frames' own lengths: each must be one of ours, whole.
    FrameAssembler cutter;
    cutter.append(bytes.data(), bytes.size());
    RawStreamData f;
    std::vector<bool> seen(20, false);
    int count = 0;
    while (cutter.next(f)) {
        int i = f[10] - 'A';
        ASSERT_GE(i, 0);
        ASSERT_LT(i, 20);
        EXPECT_EQ(f, frames[static_cast<std::size_t>(i)]);
        seen[static_cast<std::size_t>(i)] = true;
        ++count;
    }
    EXPECT_EQ(count, 20);
    EXPECT_EQ(cutter.buffered(), 0u);
}

TEST(ShmConnection, AWriteWithoutAPeerIsDroppedWithAnErrorLine) {
    test::LogCapture log;
    const std::string name = uniqueName("nopeer");
    asio::io_context io;
    {
        // An object that exists but that no server binds.
        FILE* f = std::fopen(("/dev/shm/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    ShmConnection c(io, nullptr, options(name, 65536));
    ASSERT_FALSE(c.open());
    auto f = frame("lost");
    c.write(mallocCopy(f), f.size());
    EXPECT_TRUE(log.contains("[ShmConnection]:[write]: peer not connected, frame of 17 bytes dropped"));
    c.stop();
    ::unlink(("/dev/shm/" + name).c_str());
}

TEST(ShmConnection, TheHostLeavingStopsTheEventLoopAndDestructionLogsTheClose) {
    test::LogCapture log;
    const std::string name = uniqueName("leave");
    auto server = std::make_unique<Server>(name, 65536);
    ASSERT_NE(server->ep, nullptr);
    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    {
        ShmConnection c(io, nullptr, options(name, 65536));
        ASSERT_FALSE(c.open());
        ASSERT_TRUE(waitFor([&] { return c.connected(); }));
        std::thread loop([&] { io.run(); });
        server->stop();
        ASSERT_TRUE(waitFor([&] { return io.stopped(); }, 5000));
        loop.join();
        EXPECT_TRUE(log.contains("[ShmConnection]:[cli_disconnected]: "));
        EXPECT_FALSE(c.connected());
    }
    EXPECT_TRUE(log.contains("[ShmConnection]:[close_quor_reader]: closed shm client\n"));
}

}  // namespace
}  // namespace czs
