#include "connection/SocketConnection.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "../support/LogCapture.h"

namespace czs {
namespace {

using asio::ip::tcp;

std::string str(const RawStreamData& d) { return {d.begin(), d.end()}; }

struct SocketConnectionClient : ::testing::Test {
    test::LogCapture log;
    asio::io_context io;
    std::vector<std::string> got;
    SocketConnection conn{io, [this](const RawStreamData& d) { got.push_back(str(d)); }, "127.0.0.1", 0};

    void SetUp() override { ASSERT_FALSE(conn.open()); }

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

TEST_F(SocketConnectionClient, OneClientAtATimeTheSecondIsServedAfterTheFirstLeaves) {
    auto a = connect();
    spin(1, 5);  // a is accepted
    auto b = connect();  // waits in the listen queue
    send(b, "second\n");
    send(a, "first\n");
    spin(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "first\n");
    a.close();
    spin(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], "second\n");
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

TEST(SocketConnectionOpen, APortInUseFailsWithBindFailed) {
    test::LogCapture log;
    asio::io_context io;
    SocketConnection first(io, nullptr, "127.0.0.1", 0);
    ASSERT_FALSE(first.open());
    SocketConnection second(io, nullptr, "127.0.0.1", first.boundPort(), SocketConnection::kDefaultMaxLine,
                            std::chrono::milliseconds(0));
    std::error_code ec = second.open();
    EXPECT_EQ(ec.value(), EADDRINUSE);
    EXPECT_TRUE(log.contains("[SocketConnection]:[open]: bind failed\n"));
}

TEST(SocketConnectionOpen, ABindRetriedWhileThePreviousOwnerLetsGoSucceeds) {
    test::LogCapture log;
    asio::io_context io;
    auto first = std::make_unique<SocketConnection>(io, nullptr, "127.0.0.1", 0);
    ASSERT_FALSE(first->open());
    SocketConnection second(io, nullptr, "127.0.0.1", first->boundPort(), SocketConnection::kDefaultMaxLine,
                            std::chrono::milliseconds(3000));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        first.reset();
    });
    std::error_code ec = second.open();
    closer.join();
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_FALSE(log.contains("bind failed"));
}

}  // namespace
}  // namespace czs
