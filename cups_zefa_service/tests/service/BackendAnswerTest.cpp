// The backend port end to end inside one process: real TCP clients, the loop
// on its own thread, and a host side that reports its verdict from another
// thread, as the shared-memory transport does.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "support/LogCapture.h"
#include "runtime/LoopThread.h"
#include "service/CupsBackendService.h"

namespace czs {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// The host side: keeps each frame's WriteDone until the test decides.
struct FakeHost {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<WriteDone> pending;
    std::size_t frames = 0;

    CupsBackendService::ReplyCallback callback() {
        return [this](Reply reply, WriteDone done) {
            std::lock_guard<std::mutex> l(mu);
            EXPECT_FALSE(reply.empty());
            ++frames;
            pending.push_back(std::move(done));
            cv.notify_all();
        };
    }
    bool waitFrames(std::size_t n) {
        std::unique_lock<std::mutex> l(mu);
        return cv.wait_for(l, 3s, [&] { return frames >= n; });
    }
    // Reports on frame `i` from a thread of its own.
    void report(std::size_t i, bool written) {
        WriteDone done;
        {
            std::lock_guard<std::mutex> l(mu);
            done = std::move(pending.at(i));
        }
        std::thread([done = std::move(done), written] { done(written); }).join();
    }
};

struct BackendPort : ::testing::Test {
    void SetUp() override {
        char tmpl[] = "/tmp/czs-backend-XXXXXX";
        spool = ::mkdtemp(tmpl);
        job = spool + "/job-1";
        std::FILE* f = std::fopen(job.c_str(), "w");
        std::fputs("%!PS\n", f);
        std::fclose(f);
        SocketConnection::Limits limits;
        limits.lineDeadline = 2s;
        service = std::make_unique<CupsBackendService>(loop.io(), registry, host.callback(), "127.0.0.1", 0, spool, 0ms,
                                                       limits);
        ASSERT_TRUE(service->open());
        port = service->connection().boundPort();
        loop.start();
    }
    void TearDown() override {
        loop.stop([this] { service.reset(); });
        service.reset();
        std::filesystem::remove_all(spool);
    }

    int connectClient() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    }
    static void sendText(int fd, const std::string& s) {
        ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    // Everything the daemon sends within `ms`, up to its close or, with
    // `lines`, up to that many lines.
    static std::string receive(int fd, int ms, bool* closed = nullptr, int lines = 0) {
        std::string got;
        if (closed != nullptr) *closed = false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return got;
            char buf[512];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed != nullptr) *closed = true;
                return got;
            }
            got.append(buf, static_cast<size_t>(n));
            if (lines > 0 && std::count(got.begin(), got.end(), '\n') >= lines) return got;
        }
    }
    std::string announcement() const { return "{\"abspath\":\"" + job + "\",\"job-name\":\"t\"}\n"; }

    test::LogCapture log;
    PrintFileRegistry registry;
    FakeHost host;
    orv::LoopThread loop;
    std::unique_ptr<CupsBackendService> service;
    std::string spool, job;
    uint16_t port = 0;
};

TEST_F(BackendPort, TheOkLineComesOnlyOnceTheFrameIsInTheHostChannel) {
    const int fd = connectClient();
    sendText(fd, announcement());
    ASSERT_TRUE(host.waitFrames(1));
    EXPECT_EQ(receive(fd, 200), "") << "answered before the host side reported";
    host.report(0, true);
    EXPECT_EQ(receive(fd, 2000, nullptr, 1), "{\"status\":\"ok\"}\n");
    ::close(fd);
}

TEST_F(BackendPort, AFrameTheHostNeverGotIsAnsweredWithAnError) {
    const int fd = connectClient();
    sendText(fd, announcement());
    ::shutdown(fd, SHUT_WR);  // what the zefa-prt backend does after its line
    ASSERT_TRUE(host.waitFrames(1));
    host.report(0, false);
    bool closed = false;
    EXPECT_EQ(receive(fd, 2000, &closed), "{\"status\":\"error\",\"reason\":\"not delivered to the host\"}\n");
    EXPECT_TRUE(closed) << "the connection stays open after its last answer";
    EXPECT_TRUE(log.contains("announcement not delivered to the host"));
}

TEST_F(BackendPort, ARefusedLineIsAnsweredAtOnceAndReachesNobody) {
    const int fd = connectClient();
    sendText(fd, "not json\n{\"abspath\":\"/etc/passwd\"}\n");
    const std::string refused = "{\"status\":\"error\",\"reason\":\"announcement refused\"}\n";
    EXPECT_EQ(receive(fd, 1000, nullptr, 2), refused + refused);
    std::lock_guard<std::mutex> l(host.mu);
    EXPECT_EQ(host.frames, 0u);
    ::close(fd);
}

TEST_F(BackendPort, SeveralLinesOnOneConnectionAreAnsweredInTheirOrder) {
    const int fd = connectClient();
    sendText(fd, announcement() + "oops\n" + announcement());
    ASSERT_TRUE(host.waitFrames(2));
    host.report(1, true);
    EXPECT_EQ(receive(fd, 200), "") << "an answer overtook an earlier line's";
    host.report(0, false);
    EXPECT_EQ(receive(fd, 2000, nullptr, 3),
              "{\"status\":\"error\",\"reason\":\"not delivered to the host\"}\n"
              "{\"status\":\"error\",\"reason\":\"announcement refused\"}\n"
              "{\"status\":\"ok\"}\n");
    ::close(fd);
}

TEST_F(BackendPort, TwoIdleClientsDoNotBlockAThirdsJob) {
    const int idle1 = connectClient();
    const int idle2 = connectClient();
    std::this_thread::sleep_for(50ms);
    const int fd = connectClient();
    sendText(fd, announcement());
    ASSERT_TRUE(host.waitFrames(1)) << "the job waited behind idle clients";
    host.report(0, true);
    EXPECT_EQ(receive(fd, 2000, nullptr, 1), "{\"status\":\"ok\"}\n");
    // The idle ones are dropped at the line deadline; nothing was announced for them.
    bool closed = false;
    receive(idle1, 4000, &closed);
    EXPECT_TRUE(closed);
    std::lock_guard<std::mutex> l(host.mu);
    EXPECT_EQ(host.frames, 1u);
    ::close(idle1);
    ::close(idle2);
    ::close(fd);
}

TEST_F(BackendPort, ABackendThatLeavesWithoutReadingChangesNothingForTheNext) {
    {
        const int fd = connectClient();
        sendText(fd, announcement());
        ::close(fd);
    }
    ASSERT_TRUE(host.waitFrames(1)) << "a line whose sender left is still announced";
    host.report(0, true);
    const int fd = connectClient();
    sendText(fd, announcement());
    ASSERT_TRUE(host.waitFrames(2));
    host.report(1, true);
    EXPECT_EQ(receive(fd, 2000, nullptr, 1), "{\"status\":\"ok\"}\n");
    ::close(fd);
}

TEST_F(BackendPort, AVerdictThatNeverComesEndsTheConnectionWithoutAnAnswer) {
    const int fd = connectClient();
    sendText(fd, announcement());
    ::shutdown(fd, SHUT_WR);
    ASSERT_TRUE(host.waitFrames(1));
    {
        // The host side loses the callback without calling it.
        std::lock_guard<std::mutex> l(host.mu);
        host.pending.clear();
    }
    bool closed = false;
    EXPECT_EQ(receive(fd, 2000, &closed), "");
    EXPECT_TRUE(closed);
    ::close(fd);
}

}  // namespace
}  // namespace czs
