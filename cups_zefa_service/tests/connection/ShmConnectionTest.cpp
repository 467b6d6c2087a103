#include "connection/ShmConnection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/FrameBytes.h"
#include "TwoProcess.h"
#include <runtime/LogSinks.h>
#include "support/LogCapture.h"

namespace czs {
namespace {

using test::cat;
using test::frame;

// The host side, in a child process as the host agent is: a shared-memory
// server that records what it receives, driven over the two-process
// harness's socket pair.
class Server {
public:
    // `uid`: the user the host side runs as (and so the object's owner).
    Server(const std::string& name, uint32_t size, uid_t uid = 0) {
        orvtest::spawn(child_, orvtest::ChildSpec{"shm_server", {name, std::to_string(size)}, uid});
        if (child_.fd < 0) {
            return;
        }
        char ok = 0;
        started_ = readAll(&ok, 1) && ok == 1;
    }
    ~Server() { stop(); }
    bool started() const { return started_; }
    void stop() {
        if (child_.pid > 0) {
            char q = 'Q';
            writeAll(&q, 1);
            child_.wait_exit();
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
    // The host stops reading (its thread blocks in the data callback) until
    // resume(): the daemon's ring fills.
    void pause() { command('P'); }
    void resume() { command('U'); }
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
            std::condition_variable resumed;
            bool paused = false;
            std::vector<uint8_t> received;
        } st;
        shm_config cfg;
        shm_config_init(&cfg);
        cfg.name = name.c_str();
        cfg.size = size;
        cfg.on_data = [](void* u, shm_endpoint*, const uint8_t* d, size_t n) {
            auto* s = static_cast<State*>(u);
            std::unique_lock<std::mutex> lock(s->mutex);
            s->resumed.wait(lock, [s] { return !s->paused; });
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
            } else if (c == 'P' || c == 'U') {
                {
                    std::lock_guard<std::mutex> lock(st.mutex);
                    st.paused = c == 'P';
                }
                st.resumed.notify_all();
                char done = 1;
                writeFd(fd, &done, 1);
            } else if (c == 'R') {
                std::lock_guard<std::mutex> lock(st.mutex);
                uint64_t n = st.received.size();
                writeFd(fd, &n, sizeof n);
                writeFd(fd, st.received.data(), st.received.size());
            }
        }
        {
            // A paused reader must not keep its endpoint from stopping.
            std::lock_guard<std::mutex> lock(st.mutex);
            st.paused = false;
        }
        st.resumed.notify_all();
        shm_stop(ep);
        return 0;
    }

private:
    void command(char c) {
        writeAll(&c, 1);
        char done = 0;
        readAll(&done, 1);
    }
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
    bool readAll(void* p, std::size_t n) { return readFd(child_.fd, p, n); }
    bool writeAll(const void* p, std::size_t n) { return writeFd(child_.fd, p, n); }

    orvtest::Child child_;
    bool started_ = false;
};

// The host side's process: runs the server of the object args[0], args[1]
// bytes large, driven over the harness's socket.
int hostSideChild(const std::string&, const std::vector<std::string>& args) {
    return Server::child(orvtest::parent_fd(), args.at(0),
                         static_cast<uint32_t>(std::strtoul(args.at(1).c_str(), nullptr, 10)));
}

ORV_TWO_PROCESS_CHILD_ENTRY(hostSideChild)

std::string uniqueName(const char* what) {
    return std::string("czs_test_") + what + "_" + std::to_string(getpid());
}

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

Reply replyOf(const std::vector<uint8_t>& b) {
    auto* p = static_cast<uint8_t*>(std::malloc(b.size()));
    std::memcpy(p, b.data(), b.size());
    return Reply::adopt(p, b.size());
}

// A frame image written on demand, in whatever pieces the ring offers.
class PatternProducer : public FrameProducer {
public:
    explicit PatternProducer(std::vector<uint8_t> image) : image_(std::move(image)) {}
    uint64_t size() const override { return image_.size(); }
    void produce(std::span<uint8_t> out) override {
        std::memcpy(out.data(), image_.data() + at_, out.size());
        at_ += out.size();
        ++pieces_;
    }
    std::size_t at_ = 0;
    int pieces_ = 0;

private:
    std::vector<uint8_t> image_;
};

// What a write told its caller.
struct Outcome {
    std::atomic<int> calls{0};
    std::atomic<bool> written{false};
    WriteDone done() {
        return [this](bool w) {
            written = w;
            ++calls;
        };
    }
};

TEST(ShmConnection, AMissingObjectFailsTheOpenWithItsLogLine) {
    test::LogCapture log;
    ShmConnection c({}, options(uniqueName("missing"), 65536));
    const orv::Result<void> opened = c.open();
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.errnum(), ENOENT);
    EXPECT_EQ(opened.context(), "stat");
    const std::string name = uniqueName("missing");
    EXPECT_TRUE(log.contains("[ShmConnection]:[open]: opening shm reader: " + name + "\n"));
    EXPECT_TRUE(log.contains("[ShmConnection]:[open_quor_reader]: cannot find '" + name + "' \n"));
}

TEST(ShmConnection, AQuietRetryLogsNothingOfItsAttempt) {
    test::LogCapture log;
    auto o = options(uniqueName("quiet"), 65536);
    o.logOpen = false;
    ShmConnection c({}, o);
    EXPECT_FALSE(c.open());
    EXPECT_FALSE(log.contains("[ShmConnection]"));
}

TEST(ShmConnection, FramesFromTheHostArriveWholeOneByOneAndInOrder) {
    test::LogCapture log;
    const std::string name = uniqueName("frames");
    Server server(name, 1 << 20);
    ASSERT_TRUE(server.started());
    std::mutex m;
    std::vector<RawStreamData> got;
    ShmConnection c({[&](const RawStreamData& d) {
                         std::lock_guard<std::mutex> lock(m);
                         got.push_back(d);
                     },
                     nullptr},
                    options(name, 1 << 20));
    ASSERT_TRUE(c.open());
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
    EXPECT_TRUE(log.contains("dropped 4 bytes"));
}

TEST(ShmConnection, FramesLargerThanTheRingAndFromTwoThreadsArriveWholeAndUnmixed) {
    test::LogCapture log;
    const std::string name = uniqueName("write");
    const uint32_t size = 64 * 1024;  // rings of about 32 KiB
    Server server(name, size);
    ASSERT_TRUE(server.started());
    ShmConnection c({}, options(name, size));
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(waitFor([&] { return c.connected(); }));

    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < 20; ++i) {
        frames.push_back(frame(std::string(30000 + 1000 * i, static_cast<char>('A' + i))));
    }
    std::size_t total = 0;
    for (auto& f : frames) {
        total += f.size();
    }
    std::atomic<int> doneTrue{0};
    auto count = [&](bool w) { doneTrue += w ? 1 : 0; };
    std::thread a([&] {
        for (int i = 0; i < 20; i += 2)
            c.write(replyOf(frames[i]), count);
    });
    std::thread b([&] {
        // Half of them written on demand, as chunk responses are.
        for (int i = 1; i < 20; i += 2)
            c.write(Reply::produced(std::make_unique<PatternProducer>(frames[i])), count);
    });
    a.join();
    b.join();
    EXPECT_EQ(doneTrue.load(), 20);
    ASSERT_TRUE(waitFor([&] { return server.bytes().size() >= total; }));
    auto bytes = server.bytes();
    ASSERT_EQ(bytes.size(), total);
    // Cut the stream by the frames' own lengths: each must be one of ours, whole.
    FrameAssembler cutter;
    cutter.append(bytes);
    RawStreamData f;
    int seen = 0;
    while (cutter.next(f)) {
        int i = f[10] - 'A';
        ASSERT_GE(i, 0);
        ASSERT_LT(i, 20);
        EXPECT_EQ(f, frames[static_cast<std::size_t>(i)]);
        ++seen;
    }
    EXPECT_EQ(seen, 20);
    EXPECT_EQ(cutter.buffered(), 0u);
}

TEST(ShmConnection, AStalledReaderFailsTheWriteAtTheDeadlineAndACutFrameClosesTheChannel) {
    test::LogCapture log;
    const std::string name = uniqueName("stall");
    const uint32_t size = 64 * 1024;
    Server server(name, size);
    ASSERT_TRUE(server.started());
    std::atomic<int> closed{0};
    auto o = options(name, size);
    o.writeStallLimit = std::chrono::milliseconds(300);
    ShmConnection c({nullptr, [&] { ++closed; }}, o);
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(waitFor([&] { return c.connected(); }));

    // A frame that fits goes in whole even though nobody reads it yet.
    server.pause();
    auto small = frame("fits");
    Outcome first;
    c.write(replyOf(small), first.done());
    EXPECT_EQ(first.calls.load(), 1);
    EXPECT_TRUE(first.written.load());
    EXPECT_EQ(closed.load(), 0);

    // One larger than the ring can only go in as the reader drains, and the
    // reader does not: given up at the deadline, not before, not much after.
    auto big = frame(std::string(200000, 'q'));
    Outcome second;
    auto t0 = std::chrono::steady_clock::now();
    c.write(replyOf(big), second.done());
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(second.calls.load(), 1);
    EXPECT_FALSE(second.written.load());
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_TRUE(log.contains("ring full for 300 ms, frame of 200013 bytes dropped"));
    // Its head is in the ring: the stream can no longer be cut into frames.
    EXPECT_EQ(closed.load(), 1);
    server.resume();
}

TEST(ShmConnection, AWriteWithoutAPeerIsDroppedWithAnErrorLineAndDoneFalse) {
    test::LogCapture log;
    const std::string name = uniqueName("nopeer");
    {
        // An object that exists but that no server binds.
        FILE* f = std::fopen(("/dev/shm/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    ShmConnection c({}, options(name, 65536));
    ASSERT_TRUE(c.open());
    auto f = frame("lost");
    Outcome out;
    c.write(replyOf(f), out.done());
    EXPECT_EQ(out.calls.load(), 1);
    EXPECT_FALSE(out.written.load());
    EXPECT_TRUE(log.contains("peer not connected, frame of 17 bytes dropped"));
    c.stop();
    ::unlink(("/dev/shm/" + name).c_str());
}

TEST(ShmConnection, TheHostLeavingIsReportedOnceAndOurOwnStopIsNot) {
    test::LogCapture log;
    const std::string name = uniqueName("leave");
    std::atomic<int> closed{0};
    {
        auto server = std::make_unique<Server>(name, 65536);
        ASSERT_TRUE(server->started());
        ShmConnection c({nullptr, [&] { ++closed; }}, options(name, 65536));
        ASSERT_TRUE(c.open());
        ASSERT_TRUE(waitFor([&] { return c.connected(); }));
        server->stop();
        ASSERT_TRUE(waitFor([&] { return closed.load() > 0; }));
        EXPECT_TRUE(log.contains("[ShmConnection]:[cli_disconnected]: "));
        EXPECT_FALSE(c.connected());
    }
    EXPECT_EQ(closed.load(), 1);
    EXPECT_TRUE(log.contains("[ShmConnection]:[close_quor_reader]: closed shm client\n"));

    // Destroyed while the host is still there: a stop of our own, not a close.
    closed = 0;
    Server server(name, 65536);
    ASSERT_TRUE(server.started());
    {
        ShmConnection c({nullptr, [&] { ++closed; }}, options(name, 65536));
        ASSERT_TRUE(c.open());
        ASSERT_TRUE(waitFor([&] { return c.connected(); }));
    }
    EXPECT_EQ(closed.load(), 0);
}

// Answers for logind: `users` sit at the seat.
struct FakeSeats : orv::SeatSessions {
    bool running = true;
    std::vector<uid_t> users;
    bool available() const override { return running; }
    bool isActiveSeatSession(pid_t, uid_t uid) const override {
        return std::find(users.begin(), users.end(), uid) != users.end();
    }
    std::vector<uid_t> activeSeatUsers() const override {
        ++asked;
        return users;
    }
    mutable std::atomic<int> asked{0};
};

TEST(ChannelOwnerPolicy, RootTheSeatUserAndConfiguredOwnersAreTrustedNobodyElse) {
    test::LogCapture log;
    auto seats = std::make_shared<FakeSeats>();
    seats->users = {1000};
    ChannelOwnerPolicy policy(seats, {4242});
    EXPECT_EQ(policy.refusal(0), "");
    EXPECT_EQ(policy.refusal(1000), "");
    EXPECT_EQ(policy.refusal(4242), "");
    EXPECT_EQ(policy.refusal(1001),
              "owner uid 1001 is neither root, nor the user of the active seat session, nor a configured owner");
    // The desktop user changes: the old one is no longer trusted.
    seats->users = {1001};
    EXPECT_NE(policy.refusal(1000), "");
    EXPECT_EQ(policy.refusal(1001), "");
    EXPECT_FALSE(log.contains("logind does not run here"));
}

TEST(ChannelOwnerPolicy, WithoutLogindOnlyRootAndConfiguredOwnersAndThatIsSaidOnce) {
    test::LogCapture log;
    auto seats = std::make_shared<FakeSeats>();
    seats->running = false;
    seats->users = {1000};  // not to be believed without logind
    ChannelOwnerPolicy policy(seats, {4242});
    EXPECT_EQ(policy.refusal(0), "");
    EXPECT_EQ(policy.refusal(4242), "");
    EXPECT_NE(policy.refusal(1000), "");
    EXPECT_EQ(log.count("[ChannelOwnerPolicy]:[ChannelOwnerPolicy]: logind does not run here: trusting channel "
                        "objects of root and configured owners only\n"),
              1u);
}

TEST(ShmConnection, AnObjectOfAnUntrustedUserIsRefusedWithOneLineAndOneOfRootIsUsed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to create an object as another user";
    }
    test::LogCapture log;
    auto seats = std::make_shared<FakeSeats>();
    seats->users = {1000};
    ChannelOwnerPolicy policy(seats, {});
    const std::string name = uniqueName("squat");
    {
        Server squatter(name, 65536, 65534);
        ASSERT_TRUE(squatter.started());
        auto o = options(name, 65536);
        o.ownerPolicy = &policy;
        o.timeoutUs = 100000;  // several retries within the test
        ShmConnection c({}, o);
        ASSERT_TRUE(c.open());
        // Every look at the object asks who sits at the seat: several looks,
        // several refusals, one line.
        ASSERT_TRUE(waitFor([&] { return seats->asked.load() >= 4; }));
        EXPECT_FALSE(c.connected());
        EXPECT_EQ(log.count("[ShmConnection]:[on_owner]: refusing '" + name +
                            "': owner uid 65534 is neither root, nor the user of the active seat session, nor a "
                            "configured owner; waiting for the host's own object\n"),
                  1u);
    }
    Server host(name, 65536);
    ASSERT_TRUE(host.started());
    auto o = options(name, 65536);
    o.ownerPolicy = &policy;
    ShmConnection c({}, o);
    ASSERT_TRUE(c.open());
    EXPECT_TRUE(waitFor([&] { return c.connected(); }));
}

}  // namespace
}  // namespace czs

namespace czs {
namespace {

TEST(ShmLogRoute, TheChannelsOwnErrorsLandInTheDaemonLogAsLines) {
    test::LogCapture log;
    orv::routeShmLog(log.sink());
    const std::string name = uniqueName("bridge");
    Server server(name, 65536);
    ASSERT_TRUE(server.started());
    // The host's object is not the size this side expects: the library refuses
    // it and says why, which must not vanish into standard output.
    ShmConnection c({}, options(name, 1 << 20));
    ASSERT_TRUE(c.open());
    const bool seen = waitFor([&] { return log.contains("[shm_channel]:[shm_log]: error connecting (37198): "); });
    c.stop();
    shm_log_set_handler(nullptr, SHM_LOG_ERR, SHM_LOG_INFO, SHM_LOG_DBG);
    EXPECT_TRUE(seen);
    for (const auto& line : log.lines()) {
        if (line.body.find("[shm_channel]") == std::string::npos) continue;
        // The usual header, and a level that says what the library meant.
        EXPECT_TRUE(line.level == "ERROR" || line.level == "INFO") << line.body;
        if (line.body.find("error connecting") != std::string::npos) {
            EXPECT_EQ(line.level, "ERROR");
        }
    }
    // One line per message, even for the library's texts without a newline.
    EXPECT_EQ(log.text().back(), '\n');
    EXPECT_EQ(log.text().find("\n\n"), std::string::npos);
}

}  // namespace
}  // namespace czs
