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

    tcp::socket connect() {
        tcp::socket s(io);
        s.connect({asio::ip::make_address("127.0.0.1"), conn.boundPort()});
        return s;
    }
    void send(tcp::socket& s, const std::string& text) { asio::write(s, asio::buffer(text)); }
    void spin(std::size_t wantLines, int rounds = 100) {
        for (int i = 0; i < rounds && got.size() < wantLines; ++i) {
            io.restart();
            io.run_for(std::chrono::milliseconds(10));
        }
    }
};

TEST_F(SocketConnectionClient, OpenLogsItsSteps) {
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: opening socket 127.0.0.1:0\n"));
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: socket opened\n"));
}

TEST_F(SocketConnectionClient, TwoLinesInOnePacketAreDeliveredSeparately) {
    auto s = connect();
    send(s, "{\"abspath\":\"/a\"}\n{\"abspath\":\"/b\"}\n");
    spin(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "{\"abspath\":\"/a\"}\n");
    EXPECT_EQ(got[1], "{\"abspath\":\"/b\"}\n");
}

TEST_F(SocketConnectionClient, ALineSplitOverSeveralPacketsArrivesOnce) {
    auto s = connect();
    send(s, "{\"abs");
    spin(1, 10);
    EXPECT_TRUE(got.empty());
    send(s, "path\":\"/a\"}\n{\"x\"");
    spin(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "{\"abspath\":\"/a\"}\n");
    send(s, ":1}\n");
    spin(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], "{\"x\":1}\n");
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
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "{\"abspath\":\"/whole\"}\n");
    EXPECT_TRUE(log.contains("[SocketConnection]:[handleRead]: got data from socket with size=0\n"));
}

TEST_F(SocketConnectionClient, IdleClientsDoNotDelayAnotherClientsLine) {
    auto a = connect();
    auto b = connect();
    spin(1, 5);  // both accepted, both silent
    auto c = connect();
    send(c, "third\n");
    spin(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "third\n");
    EXPECT_EQ(conn.clientCount(), 3u);
    // The earlier ones are still served afterwards.
    send(a, "first\n");
    spin(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], "first\n");
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
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "ok\n");
}

TEST(SocketConnectionLimits, AClientThatNeverFinishesItsLineIsDroppedAtTheDeadline) {
    test::LogCapture log;
    asio::io_context io;
    SocketConnection::Limits limits;
    limits.lineDeadline = std::chrono::milliseconds(150);
    std::vector<std::string> got;
    SocketConnection conn(
        io, [&](const RawStreamData& d, orv::Answer) { got.push_back(str(d)); }, "127.0.0.1", 0,
        SocketConnection::kDefaultMaxLine, std::chrono::milliseconds(0), limits);
    ASSERT_TRUE(conn.open());
    tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), conn.boundPort()});
    asio::write(s, asio::buffer(std::string("{\"abspath\":")));
    for (int i = 0; i < 100 && conn.clientCount() == 0; ++i) {
        io.restart();
        io.run_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(conn.clientCount(), 1u);
    for (int i = 0; i < 100 && conn.clientCount() != 0; ++i) {
        io.restart();
        io.run_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(conn.clientCount(), 0u);
    EXPECT_TRUE(got.empty());
    // Closed from the daemon's side: the client reads the end of the stream.
    char byte = 0;
    std::error_code ec;
    s.read_some(asio::buffer(&byte, 1), ec);
    EXPECT_TRUE(ec) << "the client was not closed";
}

TEST(SocketConnectionLimits, AtTheCapTheLongestIdleClientMakesRoom) {
    test::LogCapture log;
    asio::io_context io;
    SocketConnection::Limits limits;
    limits.maxClients = 2;
    std::vector<std::string> got;
    SocketConnection conn(
        io, [&](const RawStreamData& d, orv::Answer) { got.push_back(str(d)); }, "127.0.0.1", 0,
        SocketConnection::kDefaultMaxLine, std::chrono::milliseconds(0), limits);
    ASSERT_TRUE(conn.open());
    auto spinFor = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            io.restart();
            io.run_for(std::chrono::milliseconds(5));
        }
    };
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 5; ++i) {
        idle.emplace_back(io);
        idle.back().connect({asio::ip::make_address("127.0.0.1"), conn.boundPort()});
        spinFor(4);
    }
    EXPECT_EQ(conn.clientCount(), 2u);
    tcp::socket job(io);
    job.connect({asio::ip::make_address("127.0.0.1"), conn.boundPort()});
    asio::write(job, asio::buffer(std::string("job\n")));
    for (int i = 0; i < 100 && got.empty(); ++i)
        spinFor(1);
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
