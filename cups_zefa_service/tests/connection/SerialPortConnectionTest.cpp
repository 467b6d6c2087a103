#include "connection/SerialPortConnection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "support/FrameBytes.h"
#include "support/LogCapture.h"

namespace czs {
namespace {

using test::cat;
using test::frame;

// A pseudo-terminal in raw mode stands in for the virtio port: the test holds
// the master, the connection opens the slave by path.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        // Keep the slave open so its line settings stay raw for the test.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    ~Pty() {
        ::close(slave_);
        hangUp();
    }
    // The host side goes away: reads on the port then fail.
    void hangUp() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }
    const std::string& path() const { return path_; }
    void send(const std::vector<uint8_t>& b) const {
        ASSERT_EQ(::write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    std::vector<uint8_t> receive(std::size_t want, int timeoutMs = 3000) const {
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        while (got.size() < want) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) {
                break;
            }
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

Reply replyOf(const std::vector<uint8_t>& b) {
    auto* p = static_cast<uint8_t*>(std::malloc(b.size()));
    std::memcpy(p, b.data(), b.size());
    return Reply::adopt(p, b.size());
}

SerialPortConnection::Options at(const std::string& path) {
    SerialPortConnection::Options o;
    o.portPath = path;
    return o;
}

void runFor(asio::io_context& io, std::chrono::milliseconds d) {
    io.restart();
    io.run_for(d);
}

// Runs the loop in short slices until `done` holds or `slices` have passed.
template <class P>
void runUntil(asio::io_context& io, int slices, P done) {
    for (int i = 0; i < slices && !done(); ++i) {
        runFor(io, std::chrono::milliseconds(20));
    }
}

// A connection on a fresh pseudo-terminal, not yet opened; with `collect`
// the frames it delivers land in `got`, else nothing is attached to reads.
struct PortOnPty {
    explicit PortOnPty(bool collect)
        : c(io,
            {collect ? ConnectionBase::DataCallback([this](const RawStreamData& d) { got.push_back(d); }) : nullptr,
             nullptr},
            at(pty.path())) {}
    test::LogCapture log;
    Pty pty;
    asio::io_context io;
    std::vector<RawStreamData> got;
    SerialPortConnection c;
};

TEST(SerialPortConnection, MissingPortFailsWithTheSystemErrorAndLogsIt) {
    test::LogCapture log;
    asio::io_context io;
    SerialPortConnection c(io, {}, at("/nonexistent/orvanta.Printer.0"));
    const orv::Result<void> opened = c.open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.errnum(), ENOENT);
    EXPECT_EQ(opened.context(), "open");
    EXPECT_TRUE(log.contains("opening serial port reader: /nonexistent/orvanta.Printer.0\n"));
    EXPECT_TRUE(log.contains("[SerialPortConnection]:[open]:: open failed No such file or directory\n"));
}

TEST(SerialPortConnection, GluedAndSplitFramesAreDeliveredOneByOne) {
    PortOnPty port(true);
    auto& [log, pty, io, got, c] = port;
    ASSERT_TRUE(c.open());
    EXPECT_TRUE(log.contains("[SerialPortConnection]:[open]: port opened\n"));

    auto f1 = frame("first");
    auto f2 = frame("0123456789");  // its length field ends in 0x0A
    auto f3 = frame(std::string(70000, 'x'));
    auto stream = cat(cat(f1, f2), f3);
    // First piece ends right after f2's header, on its 0x0A.
    std::size_t cut = f1.size() + 10;
    pty.send({stream.begin(), stream.begin() + static_cast<long>(cut)});
    runFor(io, std::chrono::milliseconds(100));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], f1);
    // More than the terminal buffers at once: the writer blocks until the
    // connection reads, so it runs on its own thread.
    std::thread writer([&] { pty.send({stream.begin() + static_cast<long>(cut), stream.end()}); });
    runUntil(io, 200, [&] { return got.size() >= 3; });
    writer.join();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], f2);
    EXPECT_EQ(got[2], f3);
}

TEST(SerialPortConnection, GarbageIsDroppedWithALogLineAndTheNextFrameStillArrives) {
    PortOnPty port(true);
    auto& [log, pty, io, got, c] = port;
    ASSERT_TRUE(c.open());
    pty.send(cat(test::bytes("\x01\x02noise"), frame("ok")));
    runFor(io, std::chrono::milliseconds(100));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], frame("ok"));
    EXPECT_TRUE(log.contains("dropped 7 bytes"));
}

TEST(SerialPortConnection, QueuedWritesReachThePortWholeAndInOrder) {
    PortOnPty port(false);
    auto& [log, pty, io, delivered, c] = port;
    ASSERT_TRUE(c.open());
    // Large frames need several system writes each; started together they
    // would interleave without the queue.
    std::vector<uint8_t> expected;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 4; ++i) {
        frames.push_back(frame(std::string(200000, static_cast<char>('a' + i))));
        expected = cat(expected, frames.back());
    }
    int written = 0;
    asio::post(io, [&] {
        for (auto& f : frames) {
            c.write(replyOf(f), [&](bool w) { written += w ? 1 : 0; });
        }
    });
    std::vector<uint8_t> got;
    std::thread reader([&] { got = pty.receive(expected.size(), 5000); });
    runUntil(io, 200, [&] { return written >= 4; });
    reader.join();
    EXPECT_EQ(written, 4);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(log.count("[SerialPortConnection]:[handleWrite]: write data with size 200013\n"), 4u);
}

TEST(SerialPortConnection, WritesFromAnotherThreadGoThroughTheLoop) {
    PortOnPty port(false);
    auto& [log, pty, io, delivered, c] = port;
    ASSERT_TRUE(c.open());
    auto f = frame("from-another-thread");
    std::thread t([&] { c.write(replyOf(f), nullptr); });
    t.join();
    runFor(io, std::chrono::milliseconds(100));
    EXPECT_EQ(pty.receive(f.size()), f);
}

TEST(SerialPortConnection, DestroyingWithAPendingWriteFreesTheBuffer) {
    // Under ASan a leak or a use after free here fails the test binary.
    std::vector<bool> outcomes;
    Pty pty;
    asio::io_context io;
    {
        SerialPortConnection c(io, {}, at(pty.path()));
        ASSERT_TRUE(c.open());
        auto f = frame(std::string(1 << 20, 'z'));
        c.write(replyOf(f), [&](bool w) { outcomes.push_back(w); });
        c.write(replyOf(f), [&](bool w) { outcomes.push_back(w); });
        runFor(io, std::chrono::milliseconds(10));
    }
    // Both were still pending: both are reported as not written.
    EXPECT_EQ(outcomes, (std::vector<bool>{false, false}));
    runFor(io, std::chrono::milliseconds(10));
    // The first frame had started going out; nothing of it is written after
    // the connection is gone.
    auto got = pty.receive(1 << 21, 200);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), "ZEFA");
    EXPECT_LT(got.size(), std::size_t{1 << 20});
}

TEST(SerialPortConnection, EachWriteIsReportedAndAProducedFrameGoesOutWholeInPieces) {
    PortOnPty port(false);
    auto& [log, pty, io, delivered, c] = port;
    ASSERT_TRUE(c.open());
    // Larger than one write piece, so it is produced in several.
    auto big = frame(std::string(150000, 'p'));
    struct Producer : FrameProducer {
        Producer(std::vector<uint8_t> b, int& p) : bytes(std::move(b)), pieces(p) {}
        uint64_t size() const override { return bytes.size(); }
        void produce(std::span<uint8_t> out) override {
            std::memcpy(out.data(), bytes.data() + at, out.size());
            at += out.size();
            ++pieces;
        }
        std::vector<uint8_t> bytes;
        std::size_t at = 0;
        int& pieces;  // outlives the producer, which goes with its frame
    };
    int pieces = 0;
    auto producer = std::make_unique<Producer>(big, pieces);
    auto small = frame("after");
    std::vector<bool> outcomes;
    c.write(Reply::produced(std::move(producer)), [&](bool w) { outcomes.push_back(w); });
    c.write(replyOf(small), [&](bool w) { outcomes.push_back(w); });
    std::vector<uint8_t> got;
    std::thread reader([&] { got = pty.receive(big.size() + small.size(), 5000); });
    runUntil(io, 250, [&] { return outcomes.size() >= 2; });
    reader.join();
    EXPECT_EQ(outcomes, (std::vector<bool>{true, true}));
    EXPECT_GT(pieces, 1);
    EXPECT_TRUE(got == cat(big, small));
    EXPECT_EQ(log.count("[SerialPortConnection]:[handleWrite]: write data with size 150013\n"), 1u);
}

TEST(SerialPortConnection, WithNothingAttachedTheReadsPauseInsteadOfSpinningAndNothingIsReported) {
    test::LogCapture log;
    Pty pty;
    asio::io_context io;
    int closed = 0;
    SerialPortConnection c(io, {nullptr, [&] { ++closed; }}, at(pty.path()));
    ASSERT_TRUE(c.open());
    // The host side gone: the port reads end of file at once, every time.
    pty.hangUp();
    io.restart();
    const std::size_t handlers = io.run_for(std::chrono::milliseconds(500));
    // About one read and one timer per idle pause; a loop that re-reads at
    // once would run many thousands of handlers here.
    EXPECT_GE(handlers, 4u);
    EXPECT_LT(handlers, 60u);
    EXPECT_EQ(closed, 0);
    EXPECT_FALSE(log.contains("[SerialPortConnection]:[handleRead]: ("));
}

TEST(SerialPortConnection, OnlyACharacterDeviceInADirectoryNobodyElseWritesIsOpened) {
    test::LogCapture log;
    asio::io_context io;
    char tmpl[] = "/tmp/czs_port_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string plain = dir + "/orvanta.Printer.0";
    std::fclose(std::fopen(plain.c_str(), "w"));
    {
        SerialPortConnection c(io, {}, at(plain));
        const orv::Result<void> opened = c.open();
        EXPECT_EQ(opened.errnum(), ENODEV);
        EXPECT_EQ(opened.context(), "check device");
        EXPECT_TRUE(
            log.contains("[SerialPortConnection]:[open]: refusing " + plain + ": it is not a character device\n"));
    }
    // A link in a directory anyone may write to could lead anywhere.
    Pty pty;
    const std::string planted = "/tmp/czs_port_link_" + std::to_string(getpid());
    ASSERT_EQ(::symlink(pty.path().c_str(), planted.c_str()), 0);
    {
        SerialPortConnection c(io, {}, at(planted));
        const orv::Result<void> opened = c.open();
        EXPECT_EQ(opened.errnum(), EPERM);
        EXPECT_EQ(opened.context(), "check directory");
        EXPECT_TRUE(log.contains("[SerialPortConnection]:[open]: refusing " + planted +
                                 ": its directory may be written by other users\n"));
    }
    // The same link in a directory of our own is followed, as udev's are.
    const std::string owned = dir + "/link";
    ASSERT_EQ(::symlink(pty.path().c_str(), owned.c_str()), 0);
    {
        SerialPortConnection c(io, {}, at(owned));
        EXPECT_TRUE(c.open());
    }
    ::unlink(planted.c_str());
    ::unlink(owned.c_str());
    ::unlink(plain.c_str());
    ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace czs
