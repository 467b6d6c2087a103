#include "connection/SocketConnection.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/LogCapture.h"

namespace czs {
namespace {

using asio::ip::tcp;

std::string str(const RawStreamData& d) {
    return {d.begin(), d.end()};
}

using Lines = std::vector<std::string>;

// Runs the loop in slices of `slice` until `done` holds or `slices` have passed.
template <class P>
void runUntil(asio::io_context& io, int slices, std::chrono::milliseconds slice, P done) {
    for (int i = 0; i < slices && !done(); ++i) {
        io.restart();
        io.run_for(slice);
    }
}

tcp::socket connectTo(asio::io_context& io, uint16_t port) {
    tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), port});
    return s;
}

struct SocketConnectionClient : ::testing::Test {
    test::LogCapture log;
    asio::io_context io;
    std::vector<std::string> got;
    std::vector<orv::Answer> owed;
    SocketConnection conn{io,
                          [this](const RawStreamData& d, orv::Answer a) {
                              got.push_back(str(d));
                              owed.push_back(std::move(a));
                          },
                          "127.0.0.1", 0};

    void SetUp() override { ASSERT_TRUE(conn.open()); }

    tcp::socket connect() { return connectTo(io, conn.boundPort()); }
    void send(tcp::socket& s, const std::string& text) { asio::write(s, asio::buffer(text)); }
    void spin(std::size_t wantLines, int rounds = 100) {
        runUntil(io, rounds, std::chrono::milliseconds(10), [&] { return got.size() >= wantLines; });
    }
};

// A connection under the given limits, opened by the test, its lines collected.
struct LimitedConnection {
    explicit LimitedConnection(SocketConnection::Limits limits)
        : conn(
              io, [this](const RawStreamData& d, orv::Answer) { got.push_back(str(d)); }, "127.0.0.1", 0,
              SocketConnection::kDefaultMaxLine, std::chrono::milliseconds(0), limits) {}
    test::LogCapture log;
    asio::io_context io;
    Lines got;
    SocketConnection conn;
};

TEST_F(SocketConnectionClient, OpenLogsItsSteps) {
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: opening socket 127.0.0.1:0\n"));
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: socket opened\n"));
}

TEST_F(SocketConnectionClient, TwoLinesInOnePacketAreDeliveredSeparately) {
    auto s = connect();
    send(s, "{\"abspath\":\"/a\"}\n{\"abspath\":\"/b\"}\n");
    spin(2);
    EXPECT_EQ(got, (Lines{"{\"abspath\":\"/a\"}\n", "{\"abspath\":\"/b\"}\n"}));
}

TEST_F(SocketConnectionClient, ALineSplitOverSeveralPacketsArrivesOnce) {
    auto s = connect();
    send(s, "{\"abs");
    spin(1, 10);
    EXPECT_TRUE(got.empty());
    send(s, "path\":\"/a\"}\n{\"x\"");
    spin(1);
    EXPECT_EQ(got, Lines{"{\"abspath\":\"/a\"}\n"});
    send(s, ":1}\n");
    spin(2);
    EXPECT_EQ(got, (Lines{"{\"abspath\":\"/a\"}\n", "{\"x\":1}\n"}));
}

TEST_F(SocketConnectionClient, AnUnfinishedLineOfAClientThatLeftIsNotGluedToTheNextClient) {
    {
        auto s = connect();
        send(s, "{\"abspath\":\"/half");
        spin(1, 10);
    }
    spin(1, 10);
    auto s2 = connect();
    send(s2, "{\"abspath\":\"/whole\"}\n");
    spin(1);
    EXPECT_EQ(got, Lines{"{\"abspath\":\"/whole\"}\n"});
    EXPECT_TRUE(log.contains("[SocketConnection]:[handleRead]: got data from socket with size=0\n"));
}

TEST_F(SocketConnectionClient, IdleClientsDoNotDelayAnotherClientsLine) {
    auto a = connect();
    auto b = connect();
    spin(1, 5);  // both accepted, both silent
    auto c = connect();
    send(c, "third\n");
    spin(1);
    EXPECT_EQ(got, Lines{"third\n"});
    EXPECT_EQ(conn.clientCount(), 3u);
    // The earlier ones are still served afterwards.
    send(a, "first\n");
    spin(2);
    EXPECT_EQ(got, (Lines{"third\n", "first\n"}));
}

TEST_F(SocketConnectionClient, TheAnswerReachesTheClientThatSentTheLine) {
    auto a = connect();
    auto b = connect();
    send(b, "from b\n");
    send(a, "from a\n");
    spin(2);
    ASSERT_EQ(got.size(), 2u);
    for (std::size_t i = 0; i < got.size(); ++i)
        owed[i].send("answer to " + got[i]);
    for (int i = 0; i < 20; ++i) {
        io.restart();
        io.run_for(std::chrono::milliseconds(5));
    }
    asio::streambuf ba, bb;
    asio::read_until(a, ba, '\n');
    asio::read_until(b, bb, '\n');
    EXPECT_EQ(std::string(asio::buffers_begin(ba.data()), asio::buffers_end(ba.data())), "answer to from a\n");
    EXPECT_EQ(std::string(asio::buffers_begin(bb.data()), asio::buffers_end(bb.data())), "answer to from b\n");
}

TEST_F(SocketConnectionClient, AHugeLineDropsThatClientAndTheNextIsServed) {
    {
        auto s = connect();
        std::string huge(SocketConnection::kDefaultMaxLine + 4096, 'x');
        std::error_code ec;
        asio::write(s, asio::buffer(huge), ec);
        spin(1, 50);
    }
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(log.contains("line longer than"));
    auto s2 = connect();
    send(s2, "ok\n");
    spin(1);
    EXPECT_EQ(got, Lines{"ok\n"});
}

TEST(SocketConnectionLimits, AClientThatNeverFinishesItsLineIsDroppedAtTheDeadline) {
    SocketConnection::Limits limits;
    limits.lineDeadline = std::chrono::milliseconds(150);
    LimitedConnection limited(limits);
    auto& [log, io, got, conn] = limited;
    ASSERT_TRUE(conn.open());
    tcp::socket s = connectTo(io, conn.boundPort());
    asio::write(s, asio::buffer(std::string("{\"abspath\":")));
    runUntil(io, 100, std::chrono::milliseconds(5), [&] { return conn.clientCount() != 0; });
    ASSERT_EQ(conn.clientCount(), 1u);
    runUntil(io, 100, std::chrono::milliseconds(10), [&] { return conn.clientCount() == 0; });
    EXPECT_EQ(conn.clientCount(), 0u);
    EXPECT_TRUE(got.empty());
    // Closed from the daemon's side: the client reads the end of the stream.
    char byte = 0;
    std::error_code ec;
    s.read_some(asio::buffer(&byte, 1), ec);
    EXPECT_TRUE(ec) << "the client was not closed";
}

TEST(SocketConnectionLimits, AtTheCapTheLongestIdleClientMakesRoom) {
    SocketConnection::Limits limits;
    limits.maxClients = 2;
    LimitedConnection limited(limits);
    auto& [log, io, got, conn] = limited;
    ASSERT_TRUE(conn.open());
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 5; ++i) {
        idle.push_back(connectTo(io, conn.boundPort()));
        runUntil(io, 4, std::chrono::milliseconds(5), [] { return false; });  // the whole 20 ms: accept it
    }
    EXPECT_EQ(conn.clientCount(), 2u);
    tcp::socket job = connectTo(io, conn.boundPort());
    asio::write(job, asio::buffer(std::string("job\n")));
    runUntil(io, 100, std::chrono::milliseconds(5), [&] { return !got.empty(); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(log.contains("closed idle client"));
}

TEST(SocketConnectionOpen, APortInUseFailsWithBindFailed) {
    test::LogCapture log;
    asio::io_context io;
    SocketConnection first(io, nullptr, "127.0.0.1", 0);
    ASSERT_TRUE(first.open());
    SocketConnection second(io, nullptr, "127.0.0.1", first.boundPort(), SocketConnection::kDefaultMaxLine,
                            std::chrono::milliseconds(0));
    const orv::Result<void> opened = second.open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.errnum(), EADDRINUSE);
    EXPECT_EQ(opened.context(), "bind");
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: bind failed\n"));
}

TEST(SocketConnectionOpen, OpeningTwiceFailsAtTheOpenStep) {
    test::LogCapture log;
    asio::io_context io;
    SocketConnection conn(io, nullptr, "127.0.0.1", 0);
    ASSERT_TRUE(conn.open());
    const orv::Result<void> again = conn.open();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), asio::error::already_open);
    EXPECT_EQ(again.context(), "open");
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: acceptor open failed\n"));
    EXPECT_NE(conn.boundPort(), 0);  // the first listener is untouched
}

TEST(SocketConnectionOpen, ABindRetriedWhileThePreviousOwnerLetsGoSucceeds) {
    test::LogCapture log;
    asio::io_context io;
    auto first = std::make_unique<SocketConnection>(io, nullptr, "127.0.0.1", 0);
    ASSERT_TRUE(first->open());
    SocketConnection second(io, nullptr, "127.0.0.1", first->boundPort(), SocketConnection::kDefaultMaxLine,
                            std::chrono::milliseconds(3000));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        first.reset();
    });
    const orv::Result<void> opened = second.open();
    closer.join();
    EXPECT_TRUE(opened) << opened.context() << ": " << opened.error().message();
    EXPECT_FALSE(log.contains("bind failed"));
}

}  // namespace
}  // namespace czs
