// The stream server on a loop thread with real clients: the cap and who
// makes room, the deadlines, answers in order from any thread, the accept
// back-off when descriptors run out, and start/stop in every order.
#include "runtime/StreamServer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "LogRecorder.h"
#include "TestClient.h"
#include "runtime/LoopThread.h"

namespace orv {
namespace {

using namespace std::chrono_literals;
using test::eventually;

// Records what the server reports; answers each unit with "ok <unit>"
// unless told to hold the answers.
struct Recorder : StreamHandler {
    std::mutex mu;
    std::vector<std::string> units;
    std::vector<CloseReason> closes;
    std::vector<PeerCredentials> peers;
    std::vector<std::size_t> partials;
    test::LogRecorder log;
    bool holdAnswers = false;
    std::vector<Answer> held;

    void onAccepted(StreamSession& s) override {
        std::lock_guard<std::mutex> l(mu);
        peers.push_back(s.peer());
    }
    void onUnit(StreamSession& s, std::span<const uint8_t> bytes) override {
        std::string unit(bytes.begin(), bytes.end());
        Answer a = s.defer();
        std::lock_guard<std::mutex> l(mu);
        units.push_back(unit);
        if (holdAnswers) {
            held.push_back(std::move(a));
        } else {
            a.send("ok " + unit);
        }
    }
    void onPartial(StreamSession&, std::size_t n) override {
        std::lock_guard<std::mutex> l(mu);
        partials.push_back(n);
    }
    void onClosed(StreamSession&, CloseReason r, const std::error_code&) override {
        std::lock_guard<std::mutex> l(mu);
        closes.push_back(r);
    }
    std::size_t count(CloseReason r) {
        std::lock_guard<std::mutex> l(mu);
        return static_cast<std::size_t>(std::count(closes.begin(), closes.end(), r));
    }
    std::size_t unitCount() {
        std::lock_guard<std::mutex> l(mu);
        return units.size();
    }
    std::size_t heldCount() {
        std::lock_guard<std::mutex> l(mu);
        return held.size();
    }
    bool logged(const std::string& part) const { return log.logged(part); }
    /// Sends the answer owed to the `i`th held unit.
    void answerHeld(std::size_t i, const std::string& text) {
        std::lock_guard<std::mutex> l(mu);
        held.at(i).send(text);
    }
};

// A TCP server on an ephemeral loopback port, run on its own thread.
struct TcpServer {
    explicit TcpServer(Recorder& rec, StreamServerOptions o = {}) {
        server = std::make_unique<StreamServer>(loop.io(), rec, std::move(o));
        EXPECT_TRUE(server->listenTcp("127.0.0.1", 0));
        port = server->boundPort();
        server->start();
        loop.start();
    }
    ~TcpServer() { stopNow(); }
    void stopNow() {
        loop.stop([this] { server->stop(); });
    }
    // Runs `f` on the loop thread and waits for its result.
    template <class F>
    auto onLoop(F f) {
        std::promise<decltype(f())> p;
        auto fut = p.get_future();
        asio::post(loop.io(), [&] { p.set_value(f()); });
        return fut.get();
    }
    std::size_t clientCount() {
        return onLoop([this] { return server->clientCount(); });
    }
    LoopThread loop;
    std::unique_ptr<StreamServer> server;
    uint16_t port = 0;
};

// A server on a Unix socket in a fresh directory, run on its
// own thread.
struct UnixServer {
    UnixServer(Recorder& rec, StreamServerOptions o) : server(loop.io(), rec, std::move(o)) {}
    ~UnixServer() {
        loop.stop([this] { server.stop(); });
    }
    bool start() {
        if (!server.listenUnix(path)) return false;
        server.start();
        loop.start();
        return true;
    }
    test::TempDirForSockets dir;
    const std::string path = dir.path + "/s";
    LoopThread loop;
    StreamServer server;
};

StreamServerOptions withCap(std::size_t cap) {
    StreamServerOptions o;
    o.maxClients = cap;
    return o;
}

StreamServerOptions withUnitDeadline(std::chrono::milliseconds d) {
    StreamServerOptions o;
    o.unitDeadline = d;
    return o;
}

TEST(StreamServerCap, AtTheCapTheLongestIdleClientMakesRoom) {
    Recorder rec;
    TcpServer srv(rec, withCap(2));
    auto a = test::tcpConnect(srv.port);
    ASSERT_TRUE(eventually([&] { return srv.clientCount() == 1; }));
    auto b = test::tcpConnect(srv.port);
    ASSERT_TRUE(eventually([&] { return srv.clientCount() == 2; }));
    // b has just spoken, so a has been idle longer.
    EXPECT_EQ(test::ask(b.get(), "b1\n"), "ok b1\n");
    auto c = test::tcpConnect(srv.port);
    EXPECT_EQ(test::ask(c.get(), "c1\n"), "ok c1\n");
    EXPECT_TRUE(test::closedWithin(a.get(), 2000)) << "the idle client was not shed";
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::Shed) == 1; }));
    EXPECT_TRUE(rec.logged("closed idle client"));
    // b was not touched.
    EXPECT_EQ(test::ask(b.get(), "b2\n"), "ok b2\n");
}

TEST(StreamServerCap, WhenEveryClientIsBusyTheNewOneIsRefused) {
    Recorder rec;
    rec.holdAnswers = true;
    TcpServer srv(rec, withCap(2));
    auto a = test::tcpConnect(srv.port);
    auto b = test::tcpConnect(srv.port);
    ASSERT_TRUE(test::sendAll(a.get(), "a\n"));
    ASSERT_TRUE(test::sendAll(b.get(), "b\n"));
    ASSERT_TRUE(eventually([&] { return rec.heldCount() == 2; }));
    auto c = test::tcpConnect(srv.port);
    EXPECT_TRUE(test::closedWithin(c.get(), 2000));
    EXPECT_TRUE(rec.logged("refused a client: 2 clients connected, none idle"));
    // The busy ones still get their answers.
    {
        std::lock_guard<std::mutex> l(rec.mu);
        for (auto& h : rec.held)
            h.send("done\n");
    }
    EXPECT_EQ(test::readLine(a.get(), 2000), "done\n");
    EXPECT_EQ(test::readLine(b.get(), 2000), "done\n");
}

TEST(StreamServerDeadline, AClientThatSendsNothingIsClosedAtTheDeadline) {
    Recorder rec;
    TcpServer srv(rec, withUnitDeadline(200ms));
    auto a = test::tcpConnect(srv.port);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(test::closedWithin(a.get(), 3000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms);
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::UnitDeadline) == 1; }));
}

TEST(StreamServerDeadline, TricklingBytesDoNotExtendTheDeadlineOfOneLine) {
    Recorder rec;
    TcpServer srv(rec, withUnitDeadline(300ms));
    auto a = test::tcpConnect(srv.port);
    bool stillOpen = true;
    for (int i = 0; i < 40 && stillOpen; ++i) {
        stillOpen = test::sendAll(a.get(), "x");
        std::this_thread::sleep_for(25ms);
    }
    EXPECT_TRUE(test::closedWithin(a.get(), 2000));
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::UnitDeadline) == 1; }));
    EXPECT_EQ(rec.unitCount(), 0u);
}

TEST(StreamServerDeadline, EachCompleteLineStartsANewDeadline) {
    Recorder rec;
    TcpServer srv(rec, withUnitDeadline(300ms));
    auto a = test::tcpConnect(srv.port);
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(test::ask(a.get(), "line\n"), "ok line\n") << i;
    }
    EXPECT_EQ(rec.count(CloseReason::UnitDeadline), 0u);
}

TEST(StreamServerDeadline, WhereIdlingIsFreeOnlyAStartedUnitHasADeadline) {
    Recorder rec;
    StreamServerOptions o;
    o.unitDeadline = 200ms;
    o.idleIsFree = true;
    TcpServer srv(rec, o);
    auto idle = test::tcpConnect(srv.port);
    auto done = test::tcpConnect(srv.port);
    EXPECT_EQ(test::ask(done.get(), "whole\n"), "ok whole\n");
    auto slow = test::tcpConnect(srv.port);
    const auto t0 = std::chrono::steady_clock::now();
    bool closed = false;
    for (int i = 0; i < 30 && !closed; ++i) {
        test::sendAll(slow.get(), "y");
        test::readUntilClosed(slow.get(), 25, &closed);
    }
    EXPECT_TRUE(closed) << "a trickled unit outlived its deadline";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 600ms);
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::UnitDeadline) == 1; }));
    // The idle one and the one that finished its unit are still there.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(srv.clientCount(), 2u);
    EXPECT_EQ(test::ask(idle.get(), "late\n"), "ok late\n");
}

TEST(StreamServerAnswers, AnswersComeInLineOrderWhicheverIsSentFirst) {
    Recorder rec;
    rec.holdAnswers = true;
    TcpServer srv(rec);
    auto a = test::tcpConnect(srv.port);
    ASSERT_TRUE(test::sendAll(a.get(), "one\ntwo\nthree\n"));
    ASSERT_TRUE(eventually([&] { return rec.heldCount() == 3; }));
    std::vector<Answer> held;
    {
        std::lock_guard<std::mutex> l(rec.mu);
        held = std::move(rec.held);
    }
    // From other threads, last first; the middle one owes nothing.
    std::thread t3([x = std::move(held[2])]() mutable { x.send("3\n"); });
    t3.join();
    std::thread t2([x = std::move(held[1])]() mutable { (void)x; });
    t2.join();
    EXPECT_EQ(test::readUntilClosed(a.get(), 200), "");
    std::thread t1([x = std::move(held[0])]() mutable { x.send("1\n"); });
    t1.join();
    EXPECT_EQ(test::readUntilClosed(a.get(), 500), "1\n3\n");
}

TEST(StreamServerAnswers, AClientThatStopsSendingStillGetsItsAnswerThenTheEnd) {
    Recorder rec;
    rec.holdAnswers = true;
    TcpServer srv(rec);
    auto a = test::tcpConnect(srv.port);
    ASSERT_TRUE(test::sendAll(a.get(), "job\n"));
    ::shutdown(a.get(), SHUT_WR);
    ASSERT_TRUE(eventually([&] { return rec.heldCount() == 1; }));
    std::this_thread::sleep_for(100ms);  // the end of its input has been seen
    rec.answerHeld(0, "answer\n");
    bool closed = false;
    EXPECT_EQ(test::readUntilClosed(a.get(), 2000, &closed), "answer\n");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::PeerClosed) == 1; }));
}

TEST(StreamServerAnswers, AClientThatLeftBeforeItsAnswerDoesNotDisturbTheServer) {
    Recorder rec;
    rec.holdAnswers = true;
    TcpServer srv(rec);
    {
        auto a = test::tcpConnect(srv.port);
        ASSERT_TRUE(test::sendAll(a.get(), "job\n"));
        ASSERT_TRUE(eventually([&] { return rec.heldCount() == 1; }));
    }
    std::this_thread::sleep_for(50ms);
    rec.answerHeld(0, "answer nobody reads\n");
    ASSERT_TRUE(eventually([&] { return srv.clientCount() == 0; }));
    rec.holdAnswers = false;
    auto b = test::tcpConnect(srv.port);
    EXPECT_EQ(test::ask(b.get(), "next\n"), "ok next\n");
}

TEST(StreamServerAnswers, AnAnswerThatNeverComesIsBounded) {
    Recorder rec;
    rec.holdAnswers = true;
    StreamServerOptions o;
    o.answerDeadline = 200ms;
    TcpServer srv(rec, o);
    auto a = test::tcpConnect(srv.port);
    ASSERT_TRUE(test::sendAll(a.get(), "job\n"));
    bool closed = false;
    EXPECT_EQ(test::readUntilClosed(a.get(), 3000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::AnswerDeadline) == 1; }));
}

TEST(StreamServerFraming, ALineTooLongDropsThatClient) {
    Recorder rec;
    StreamServerOptions o;
    o.maxLine = 64;
    TcpServer srv(rec, o);
    auto a = test::tcpConnect(srv.port);
    test::sendAll(a.get(), std::string(100, 'x'));
    EXPECT_TRUE(test::closedWithin(a.get(), 2000));
    EXPECT_TRUE(eventually([&] { return rec.count(CloseReason::TooLong) == 1; }));
    EXPECT_EQ(rec.unitCount(), 0u);
}

TEST(StreamServerFraming, RecordsAreCutAtTheirSizeWhateverTheReads) {
    Recorder rec;
    StreamServerOptions o;
    o.framing = StreamServerOptions::Framing::Record;
    o.recordSize = 8;
    UnixServer srv(rec, o);
    ASSERT_TRUE(srv.start());
    auto a = test::unixConnect(srv.path);
    ASSERT_TRUE(a);
    ASSERT_TRUE(test::sendAll(a.get(), "abc"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> l(rec.mu);
        return rec.partials.size() == 1;
    }));
    ASSERT_TRUE(test::sendAll(a.get(), "defghijklmnopqrstu"));
    ASSERT_TRUE(eventually([&] { return rec.unitCount() == 2; }));
    {
        std::lock_guard<std::mutex> l(rec.mu);
        EXPECT_EQ(rec.units, (std::vector<std::string>{"abcdefgh", "ijklmnop"}));
        EXPECT_EQ(rec.partials, std::vector<std::size_t>{3});
        ASSERT_EQ(rec.peers.size(), 1u);
        EXPECT_TRUE(rec.peers[0].known);
        EXPECT_EQ(rec.peers[0].pid, ::getpid());
        EXPECT_EQ(rec.peers[0].uid, ::getuid());
    }
}

TEST(StreamServerCap, OneUidCannotTakeEverySlot) {
    Recorder rec;
    StreamServerOptions o;
    o.framing = StreamServerOptions::Framing::Record;
    o.maxClients = 8;
    o.maxClientsPerUid = 2;
    UnixServer srv(rec, o);
    ::chmod(srv.dir.path.c_str(), 0755);  // another user connects too
    ASSERT_TRUE(srv.start());
    const std::string& path = srv.path;
    auto root = test::unixConnect(path);
    ASSERT_TRUE(root);
    // Another user opens five connections and keeps them.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setuid(65534) != 0) ::_exit(3);
        std::vector<UniqueFd> held;
        for (int i = 0; i < 5; ++i) {
            held.push_back(test::unixConnect(path));
            ::usleep(20000);
        }
        (void)!::write(ready[1], "x", 1);
        ::sleep(3);
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_TRUE(eventually([&] { return rec.count(CloseReason::Shed) == 3; }));
    EXPECT_TRUE(rec.logged("of uid 65534 to make room for its new one"));
    // Root's connection was never the one to go.
    ASSERT_TRUE(test::sendAll(root.get(), "12345678"));
    EXPECT_EQ(test::readUntilClosed(root.get(), 1000), "ok 12345678");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

// Out of descriptors, the server pauses its accepts (one log line) instead
// of spinning, and serves again once descriptors are free. Runs in a child
// with a low descriptor limit so the test process itself is not starved.
TEST(StreamServerAccept, OutOfDescriptorsPausesInsteadOfSpinning) {
    int toParent[2];
    ASSERT_EQ(::pipe(toParent), 0);
    int portPipe[2];
    ASSERT_EQ(::pipe(portPipe), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Recorder rec;
        StreamServerOptions o;
        o.maxClients = 1000;
        o.unitDeadline = 1500ms;
        o.acceptPause = 20ms;
        o.acceptPauseMax = 200ms;
        o.backlog = 64;
        asio::io_context io;
        StreamServer server(io, rec, o);
        if (!server.listenTcp("127.0.0.1", 0)) ::_exit(10);
        const uint16_t port = server.boundPort();
        (void)!::write(portPipe[1], &port, sizeof port);
        // Exactly a handful of free descriptors: fill every free slot under
        // a low limit, then give five back.
        rlimit lim{512, 512};
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) ::_exit(11);
        std::vector<int> filler;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            filler.push_back(fd);
        if (errno != EMFILE || filler.size() < 5) ::_exit(12);
        for (int i = 0; i < 5; ++i) {
            ::close(filler.back());
            filler.pop_back();
        }
        server.start();
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        io.run_for(1200ms);  // the flood arrives; clients are held (deadline 1.5 s)
        rusage during{};
        ::getrusage(RUSAGE_SELF, &during);
        io.run_for(2500ms);  // the deadline frees descriptors; a new client is served
        std::size_t failedLines = 0, againLines = 0;
        for (const auto& l : rec.log.lines()) {
            failedLines += l.text.find("accept failed:") != std::string::npos;
            againLines += l.text.find("accepting again after") != std::string::npos;
        }
        const double cpuMs = (during.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e3 +
                             (during.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e3 +
                             (during.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1e3 +
                             (during.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e3;
        const std::string report = std::to_string(failedLines) + " " + std::to_string(againLines) + " " +
                                   std::to_string(static_cast<long>(cpuMs)) + " " + std::to_string(rec.unitCount());
        (void)!::write(toParent[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(toParent[1]);
    uint16_t port = 0;
    ASSERT_EQ(::read(portPipe[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    std::this_thread::sleep_for(100ms);
    std::vector<UniqueFd> flood;
    for (int i = 0; i < 40; ++i)
        flood.push_back(test::tcpConnect(port));
    std::this_thread::sleep_for(1800ms);
    flood.clear();
    std::this_thread::sleep_for(200ms);
    auto late = test::tcpConnect(port);
    ASSERT_TRUE(late);
    ASSERT_TRUE(test::sendAll(late.get(), "late\n"));
    EXPECT_EQ(test::readLine(late.get(), 2500), "ok late\n");
    std::string report = test::readUntilClosed(toParent[0], 10000);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unsigned failed = 0, again = 0, units = 0;
    long cpuMs = 0;
    ASSERT_EQ(std::sscanf(report.c_str(), "%u %u %ld %u", &failed, &again, &cpuMs, &units), 4) << report;
    // One line per episode (the flood, then its backlog once the first
    // clients' deadline freed room), not one per failed accept.
    EXPECT_GE(failed, 1u);
    EXPECT_LE(failed, 3u) << "a line per failed accept";
    EXPECT_GE(again, 1u);
    EXPECT_GE(units, 1u);
    // A spinning accept loop burns the whole 1.2 s; pausing costs next to nothing.
    EXPECT_LT(cpuMs, 600) << "accept loop spun";
    ::close(toParent[0]);
    ::close(portPipe[0]);
    ::close(portPipe[1]);
}

TEST(StreamServerListen, AFailedListenNamesItsStep) {
    Recorder rec;
    asio::io_context io;
    StreamServer first(io, rec, {});
    ASSERT_TRUE(first.listenTcp("127.0.0.1", 0));
    // Listening twice on one server fails before any socket is made.
    const Result<void> twice = first.listenTcp("127.0.0.1", 0);
    ASSERT_FALSE(twice);
    EXPECT_EQ(twice.error(), asio::error::already_open);
    EXPECT_EQ(twice.context(), "open");
    const Result<void> unixToo = first.listenUnix("/nonexistent/for/sure/s");
    ASSERT_FALSE(unixToo);
    EXPECT_EQ(unixToo.context(), "open");

    StreamServerOptions o;
    o.bindWait = 0ms;
    StreamServer taken(io, rec, o);
    const Result<void> inUse = taken.listenTcp("127.0.0.1", first.boundPort());
    ASSERT_FALSE(inUse);
    EXPECT_EQ(inUse.error(), std::errc::address_in_use);
    EXPECT_EQ(inUse.context(), "bind");
    EXPECT_EQ(taken.boundPort(), 0);

    StreamServer badAddress(io, rec, o);
    const Result<void> bad = badAddress.listenTcp("not an address", 0);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), std::errc::invalid_argument);
    EXPECT_EQ(bad.context(), "bind");

    StreamServer noDir(io, rec, o);
    const Result<void> missing = noDir.listenUnix("/nonexistent/for/sure/s");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.context(), "bind");
}

TEST(StreamServerLifecycle, StopBeforeStartDuringStartAndTwiceNeverHangs) {
    {
        LoopThread loop;
        loop.stop();
        EXPECT_FALSE(loop.start());
        EXPECT_FALSE(loop.running());
    }
    for (int i = 0; i < 50; ++i) {
        Recorder rec;
        LoopThread loop;
        StreamServer server(loop.io(), rec, {});
        ASSERT_TRUE(server.listenTcp("127.0.0.1", 0));
        server.start();
        std::thread starter([&] { loop.start(); });
        std::thread stopper([&] { loop.stop([&] { server.stop(); }); });
        starter.join();
        stopper.join();
        loop.stop();
        EXPECT_FALSE(loop.running());
        server.stop();
        EXPECT_FALSE(server.listening());
    }
}

TEST(StreamServerLifecycle, StoppingClosesEveryClientAndLateAnswersAreHarmless) {
    Recorder rec;
    rec.holdAnswers = true;
    auto srv = std::make_unique<TcpServer>(rec);
    auto a = test::tcpConnect(srv->port);
    ASSERT_TRUE(test::sendAll(a.get(), "job\n"));
    ASSERT_TRUE(eventually([&] { return rec.heldCount() == 1; }));
    srv->stopNow();
    EXPECT_TRUE(test::closedWithin(a.get(), 2000));
    {
        // The server has stopped: the answer goes nowhere and nothing breaks.
        std::lock_guard<std::mutex> l(rec.mu);
        rec.held[0].send("too late\n");
    }
    srv.reset();
    EXPECT_EQ(rec.count(CloseReason::ServerStopped), 0u) << "a stop is not reported per client";
}

}  // namespace
}  // namespace orv
