#include "connection/ShmConnection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "FrameBytes.h"
#include "../support/LogCapture.h"

namespace czs {
namespace {

using test::cat;
using test::frame;

// The host side, in a child process as the host agent is: a shared-memory
// server that records what it receives, driven over a socket pair.
class Server {
public:
    Server(const std::string& name, uint32_t size) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            // Exec a fresh copy of this binary (see ShmServerChild.Main) so no
            // sanitizer state or thread crosses the fork.
            ::close(sv[0]);
            setenv("CZS_SHM_SERVER_NAME", name.c_str(), 1);
            setenv("CZS_SHM_SERVER_SIZE", std::to_string(size).c_str(), 1);
            setenv("CZS_SHM_SERVER_FD", std::to_string(sv[1]).c_str(), 1);
            execl("/proc/self/exe", "shm_server_child", "--gtest_filter=ShmServerChild.Main", "--gtest_brief=1",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(sv[1]);
        fd_ = sv[0];
        char ok = 0;
        started_ = readAll(&ok, 1) && ok == 1;
    }
    ~Server() { stop(); }
    bool started() const { return started_; }
    void stop() {
        if (pid_ > 0) {
            char q = 'Q';
            writeAll(&q, 1);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            ::close(fd_);
        }
    }
    void send(const std::vector<uint8_t>& b) {
        char c = 'S';
        uint64_t n = b.size();
        writeAll(&c, 1);
        writeAll(&n, sizeof n);
        writeAll(b.data(), b.size());
        char done = 0;
        readAll(&done, 1);
    }
    std::vector<uint8_t> bytes() {
        char c = 'R';
        writeAll(&c, 1);
        uint64_t n = 0;
        readAll(&n, sizeof n);
        std::vector<uint8_t> b(n);
        readAll(b.data(), b.size());
        return b;
    }

    static int child(int fd, const std::string& name, uint32_t size) {
        struct State {
            std::mutex mutex;
            std::vector<uint8_t> received;
        } st;
        shm_config cfg;
        shm_config_init(&cfg);
        cfg.name = name.c_str();
        cfg.size = size;
        cfg.on_data = [](void* u, shm_endpoint*, const uint8_t* d, size_t n) {
            auto* s = static_cast<State*>(u);
            std::lock_guard<std::mutex> lock(s->mutex);
            s->received.insert(s->received.end(), d, d + n);
            return 0;
        };
        cfg.user_data = &st;
        shm_endpoint* ep = shm_srv_start(&cfg);
        char ok = ep != nullptr;
        if (::write(fd, &ok, 1) != 1 || !ep) {
            return 1;
        }
        for (;;) {
            char c = 0;
            if (::read(fd, &c, 1) != 1 || c == 'Q') {
                break;
            }
            if (c == 'S') {
                uint64_t n = 0;
                readFd(fd, &n, sizeof n);
                std::vector<uint8_t> b(n);
                readFd(fd, b.data(), b.size());
                for (std::size_t off = 0; off < b.size();) {
                    ssize_t r = shm_write(ep, b.data() + off, b.size() - off);
                    if (r > 0) {
                        off += static_cast<std::size_t>(r);
                    } else {
                        usleep(100);
                    }
                }
                char done = 1;
                writeFd(fd, &done, 1);
            } else if (c == 'R') {
                std::lock_guard<std::mutex> lock(st.mutex);
                uint64_t n = st.received.size();
                writeFd(fd, &n, sizeof n);
                writeFd(fd, st.received.data(), st.received.size());
            }
        }
        shm_stop(ep);
        return 0;
    }
private:
    static bool readFd(int fd, void* p, std::size_t n) {
        auto* c = static_cast<char*>(p);
        while (n > 0) {
            ssize_t r = ::read(fd, c, n);
            if (r <= 0) return false;
            c += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    static bool writeFd(int fd, const void* p, std::size_t n) {
        auto* c = static_cast<const char*>(p);
        while (n > 0) {
            ssize_t r = ::write(fd, c, n);
            if (r <= 0) return false;
            c += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    }
    bool readAll(void* p, std::size_t n) { return readFd(fd_, p, n); }
    bool writeAll(const void* p, std::size_t n) { return writeFd(fd_, p, n); }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool started_ = false;
};

TEST(ShmServerChild, Main) {
    const char* name = std::getenv("CZS_SHM_SERVER_NAME");
    if (name == nullptr) {
        GTEST_SKIP() << "the host side of the shared-memory tests, run only as their child process";
    }
    _exit(Server::child(std::atoi(std::getenv("CZS_SHM_SERVER_FD")), name,
                        static_cast<uint32_t>(std::strtoul(std::getenv("CZS_SHM_SERVER_SIZE"), nullptr, 10))));
}

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
    ASSERT_TRUE(server.started());
    asio::io_context io;
    std::mutex m;
    std::vector<RawStreamData> got;
    ShmConnection c(io, [&](const RawStreamData& d) {
        std::lock_guard<std::mutex> lock(m);
        got.push_back(d);
    }, options(name, 1 << 20));
    ASSERT_FALSE(c.open());
    ASSERT_TRUE(waitFor([&] { return c.connected(); }));
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
    ASSERT_TRUE(server.started());
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
    int count = 0;
    while (cutter.next(f)) {
        int i = f[10] - 'A';
        ASSERT_GE(i, 0);
        ASSERT_LT(i, 20);
        EXPECT_EQ(f, frames[static_cast<std::size_t>(i)]);
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
    ASSERT_TRUE(server->started());
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
