#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <memory>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "LogCapture.h"
#include "user_info/UserInfoCollector.h"

namespace qmss {
namespace {

using test::LogCapture;
using test::TempDir;

std::array<uint8_t, kUserInfoRecordSize> record(int32_t pid, uint32_t uid) {
    std::array<uint8_t, kUserInfoRecordSize> r{};
    std::memcpy(r.data(), &pid, 4);
    std::memcpy(r.data() + 4, &uid, 4);
    return r;
}

class ParseUserInfo : public ::testing::Test {
protected:
    PasswdLookup lookup = [this](uint32_t uid) -> std::optional<PasswdEntry> {
        if (uid == 1000) return PasswdEntry{"alice", home.path(), 1000, 1001};
        if (uid == 1001) return PasswdEntry{"", home.path(), 1001, 1001};
        if (uid == 1002) return PasswdEntry{"bob", "", 1002, 1002};
        if (uid == 1003) return PasswdEntry{"carol", home.path() + "/gone", 1003, 1003};
        return std::nullopt;
    };
    TempDir home;
    LogCapture log;
};

TEST_F(ParseUserInfo, ValidRecord) {
    auto r = record(4242, 1000);
    auto info = parse_user_info(r, lookup);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->username, "alice");
    EXPECT_EQ(info->homedir, home.path());
    EXPECT_EQ(info->pid, 4242);
    EXPECT_EQ(info->uid, 1000u);
    EXPECT_EQ(info->gid, 1001u);
    // The wire layout by hand: pid 0x01020304, uid 1000 (0x3e8), little-endian.
    const uint8_t raw[8] = {0x04, 0x03, 0x02, 0x01, 0xe8, 0x03, 0x00, 0x00};
    info = parse_user_info(raw, lookup);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->pid, 0x01020304);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ParseUserInfo, EachRejectionHasItsLine) {
    struct Case {
        int32_t pid;
        uint32_t uid;
        const char* line;
    } cases[] = {
        {0, 1000, "Error: parsing user info failed, pid not valid\n"},
        {5, 77, "Error: parsing user info failed, uid not valid\n"},
        {5, 1001, "Error: parsing user info failed, username not valid\n"},
        {5, 1002, "Error: parsing user info failed, homedir not valid\n"},
        {5, 1003, "Error: parsing user info failed, homedir not exists\n"},
    };
    for (const auto& c : cases) {
        log.clear();
        auto r = record(c.pid, c.uid);
        EXPECT_FALSE(parse_user_info(r, lookup)) << c.line;
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_EQ(lines[0], std::make_pair(LogLevel::Error, std::string(c.line)));
    }
}

TEST(ParseUserInfoSystem, RootFromTheRealDatabase) {
    LogCapture log;
    auto r = record(1, 0);
    auto info = parse_user_info(r);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->username, "root");
}

// Stands in for logind: one active seat session, (activePid, activeUid).
struct FakeSeats : orv::SeatSessions {
    explicit FakeSeats(bool running) : running_(running) {}
    bool available() const override { return running_; }
    bool isActiveSeatSession(pid_t pid, uid_t uid) const override {
        asked.fetch_add(1);
        return pid == activePid.load() && uid == activeUid.load();
    }
    std::vector<uid_t> activeSeatUsers() const override { return {activeUid.load()}; }
    bool running_;
    std::atomic<pid_t> activePid{-1};
    std::atomic<uid_t> activeUid{static_cast<uid_t>(-1)};
    mutable std::atomic<int> asked{0};
};

PasswdLookup fakeUsers(const std::string& home) {
    return [home](uint32_t uid) -> std::optional<PasswdEntry> {
        if (uid == 0) return PasswdEntry{"root", home, 0, 0};
        if (uid == 1000) return PasswdEntry{"alice", home, 1000, 1000};
        if (uid == 65534) return PasswdEntry{"nobody", home, 65534, 65534};
        return std::nullopt;
    };
}

// A collector on a socket in a temp dir with a fake user database, on a
// machine without logind.
class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.path() + "/s.socket";
        server = std::make_unique<UserInfoCollectorServer>(path, fakeUsers(dir.path()), seats);
        server->setUserInfoCallback([this](const UserInfo& u) {
            std::lock_guard<std::mutex> lock(mu);
            got.push_back(u);
        });
        server->start();
        ASSERT_TRUE(test::eventually([&] { return server->running(); }));
    }

    int connectClient() {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    }

    size_t gotCount() {
        std::lock_guard<std::mutex> lock(mu);
        return got.size();
    }

    LogCapture log;
    TempDir dir;
    std::shared_ptr<FakeSeats> seats = std::make_shared<FakeSeats>(false);
    std::string path;
    std::unique_ptr<UserInfoCollectorServer> server;
    std::mutex mu;
    std::vector<UserInfo> got;
};

TEST_F(Collector, SocketIsOpenToEveryoneAndUmaskIsRestored) {
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    mode_t now = umask(022);
    umask(now);
    EXPECT_EQ(now, 022u);  // the gtest process runs with 022
}

TEST_F(Collector, RecordsSplitAndJoinedInAnyWay) {
    int fd = connectClient();
    auto a = record(10, 1000);
    auto b = record(11, 0);
    // The order shows in the users (every record's pid is this process's).
    std::vector<uint8_t> both(a.begin(), a.end());
    both.insert(both.end(), b.begin(), b.end());
    ASSERT_EQ(write(fd, both.data(), both.size()), 16);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 2; }));
    // 3 bytes, then 5: the first delivery waits.
    auto c = record(12, 65534);
    ASSERT_EQ(write(fd, c.data(), 3), 3);
    ASSERT_TRUE(test::eventually([&] { return server->bytesReceived() == 19; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gotCount(), 2u);
    ASSERT_EQ(write(fd, c.data() + 3, 5), 5);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 3; }));
    // 12 bytes: one record, 4 stay buffered and complete with the next 4.
    auto d = record(13, 1000);
    auto e = record(14, 0);
    std::vector<uint8_t> twelve(d.begin(), d.end());
    twelve.insert(twelve.end(), e.begin(), e.begin() + 4);
    ASSERT_EQ(write(fd, twelve.data(), 12), 12);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 4; }));
    ASSERT_EQ(write(fd, e.data() + 4, 4), 4);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 5; }));
    std::lock_guard<std::mutex> lock(mu);
    std::vector<std::string> users;
    for (auto& u : got) {
        users.push_back(u.username);
        EXPECT_EQ(u.pid, getpid()) << "the record's pid was believed";
    }
    EXPECT_EQ(users, (std::vector<std::string>{"alice", "root", "nobody", "alice", "root"}));
    size_t waits = 0;
    for (const auto& l : log.lines())
        waits += l.second.rfind("Wait for more data", 0) == 0;
    EXPECT_EQ(waits, 1u);
    close(fd);
}

TEST_F(Collector, InvalidRecordsAreSkippedAndTheConnectionStays) {
    int fd = connectClient();
    const auto first = record(0, 1000);
    std::vector<uint8_t> data(first.begin(), first.end());
    auto bad_uid = record(5, 4321);
    auto good = record(6, 1000);
    data.insert(data.end(), bad_uid.begin(), bad_uid.end());
    data.insert(data.end(), good.begin(), good.end());
    ASSERT_EQ(write(fd, data.data(), data.size()), 24);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 1; }));
    EXPECT_TRUE(log.has(LogLevel::Error, "Error: parsing user info failed, pid not valid\n"));
    EXPECT_TRUE(log.has(LogLevel::Error, "Error: parsing user info failed, uid not valid\n"));
    close(fd);
}

TEST_F(Collector, LeftoverBytesDoNotLeakIntoTheNextConnection) {
    int fd = connectClient();
    auto a = record(20, 1000);
    ASSERT_EQ(write(fd, a.data(), 5), 5);
    ASSERT_TRUE(test::eventually([&] { return server->bytesReceived() == 5; }));
    close(fd);
    ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 0; }));
    // Most likely the same descriptor number; the new stream starts clean.
    int fd2 = connectClient();
    auto b = record(21, 65534);
    ASSERT_EQ(write(fd2, b.data(), 8), 8);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 1; }));
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(got[0].username, "nobody");
    close(fd2);
}

TEST_F(Collector, UnprivilegedPeerMayOnlySpeakForItself) {
    chmod(dir.path().c_str(), 0755);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setuid(65534) != 0) _exit(3);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(4);
        const auto claim = record(30, 1000);  // claims to be alice
        std::vector<uint8_t> spoof(claim.begin(), claim.end());
        auto own = record(31, 65534);  // itself: accepted
        spoof.insert(spoof.end(), own.begin(), own.end());
        if (write(fd, spoof.data(), spoof.size()) != 16) _exit(5);
        usleep(200000);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(test::eventually([&] { return gotCount() == 1; }));
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(got[0].pid, child) << "the pid is the sender's, not the record's 31";
    EXPECT_EQ(got[0].username, "nobody");
    EXPECT_EQ(log.countContaining("logind"), 1u) << "the rule without logind is said once";
}

TEST_F(Collector, ClientThatClosesWithoutSending) {
    int fd = connectClient();
    ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 1; }));
    close(fd);
    ASSERT_TRUE(test::eventually([&] { return server->clientCount() == 0; }));
    EXPECT_TRUE(log.anyContaining("disconnected. Reason: read error - "));
    EXPECT_EQ(log.count("now_client_num: 0\n"), 1u);
    EXPECT_EQ(gotCount(), 0u);
}

TEST_F(Collector, StopRemovesTheSocketFileOnce) {
    server.reset();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(log.count("Cleanup socket " + path + "\n"), 1u);
}

TEST(CollectorStart, LeftoverSocketFileIsRemovedBeforeBind) {
    LogCapture log;
    TempDir dir;
    std::string path = dir.path() + "/s.socket";
    test::write_text(path, "stale");
    {
        UserInfoCollectorServer server(path, system_passwd_lookup, std::make_shared<FakeSeats>(false));
        server.start();
        ASSERT_TRUE(test::eventually([&] { return server.running(); }, 3000));
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
    }
    EXPECT_TRUE(log.has(LogLevel::Debug, "Cleanup socket " + path + "\n"));
    EXPECT_FALSE(log.has(LogLevel::Error, "Error: Failed to bind socket\n"));
}

TEST(CollectorStart, SocketModeDoesNotDependOnAnotherThreadsUmask) {
    LogCapture log(false);
    TempDir dir;
    std::atomic<bool> stop{false};
    // Another thread playing with the process-wide umask, as the shared-memory
    // endpoint does around its object's creation.
    std::thread flipper([&] {
        while (!stop) {
            mode_t old = umask(0);
            umask(old);
            umask(077);
            umask(old);
        }
    });
    for (int i = 0; i < 5; ++i) {
        std::string path = dir.path() + "/s" + std::to_string(i);
        UserInfoCollectorServer server(path, system_passwd_lookup, std::make_shared<FakeSeats>(false));
        server.start();
        struct stat st {};
        for (int k = 0; k < 600 && lstat(path.c_str(), &st) != 0; ++k)
            usleep(1000);
        for (int k = 0; k < 100 && (st.st_mode & 0777) != 0777; ++k) {
            usleep(1000);
            lstat(path.c_str(), &st);
        }
        EXPECT_EQ(st.st_mode & 0777, 0777u) << i;
        server.stop();
    }
    stop = true;
    flipper.join();
}

TEST(CollectorStart, BindFailureKeepsUmaskAndIsRetriedUntilItWorks) {
    LogCapture log;
    TempDir dir;
    std::string parent = dir.path() + "/later";
    std::string path = parent + "/s.socket";
    mode_t before = umask(027);
    {
        UserInfoLimits limits;
        limits.rebindInterval = std::chrono::milliseconds(100);
        UserInfoCollectorServer server(path, system_passwd_lookup, std::make_shared<FakeSeats>(false), limits);
        server.start();
        ASSERT_TRUE(test::eventually([&] { return server.bindFailures() >= 1u; }));
        EXPECT_TRUE(log.has(LogLevel::Error, "Error: Failed to bind socket\n"));
        EXPECT_FALSE(server.running());
        ASSERT_TRUE(test::eventually([&] { return server.bindFailures() >= 3u; }, 3000));
        EXPECT_EQ(log.count("Error: Failed to bind socket\n"), 1u) << "a retried bind is not logged again";
        ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
        EXPECT_TRUE(test::eventually([&] { return server.running(); }, 1000));
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
    }
    EXPECT_EQ(umask(before), 027u);
}

// A planted non-empty directory does not keep the collector from its path.
TEST(CollectorStart, APlantedDirectoryIsMovedAsideAndTheSocketServed) {
    LogCapture log;
    TempDir dir;
    std::string path = dir.path() + "/s.socket";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    test::write_text(path + "/x", "planted");
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    UserInfoCollectorServer server(path, system_passwd_lookup, std::make_shared<FakeSeats>(false));
    server.start();
    ASSERT_TRUE(test::eventually([&] { return server.running(); }, 3000));
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    // The planted tree is kept, beside the socket, with its content.
    std::string aside;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        if (e.path().filename().string().rfind(".s.socket.moved-", 0) == 0) aside = e.path();
    }
    ASSERT_FALSE(aside.empty()) << "the planted directory was not moved aside";
    EXPECT_EQ(test::read_text(aside + "/x"), "planted");
}

TEST(CollectorStart, StopBeforeStartAndTwiceReturnsAtOnce) {
    LogCapture log;
    TempDir dir;
    UserInfoCollectorServer server(dir.path() + "/s", system_passwd_lookup, std::make_shared<FakeSeats>(false));
    server.stop();
    server.stop();
    server.start();  // after a stop: nothing is served
    usleep(50000);
    EXPECT_FALSE(server.running());
    EXPECT_NE(access((dir.path() + "/s").c_str(), F_OK), 0);
}

// Who may say who is logged in, with a logind stand-in.
class PeerRules : public ::testing::Test {
protected:
    void SetUp() override {
        collector = std::make_unique<UserInfoCollectorServer>(dir.path() + "/s", fakeUsers(dir.path()), seats);
        collector->setUserInfoCallback([this](const UserInfo& u) { got.push_back(u); });
    }
    static orv::PeerCredentials peer(pid_t pid, uid_t uid) {
        orv::PeerCredentials p;
        p.known = true;
        p.pid = pid;
        p.uid = uid;
        p.gid = uid;
        return p;
    }
    LogCapture log;
    TempDir dir;
    std::shared_ptr<FakeSeats> seats = std::make_shared<FakeSeats>(true);
    std::unique_ptr<UserInfoCollectorServer> collector;
    std::vector<UserInfo> got;
};

TEST_F(PeerRules, WithLogindOnlyTheActiveSeatSessionsUserIsBelieved) {
    collector->start();  // learns that logind runs
    seats->activePid = 4000;
    seats->activeUid = 1000;
    // The desktop user's agent.
    collector->onRecord(peer(4000, 1000), 7, record(99, 1000));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].username, "alice");
    EXPECT_EQ(got[0].pid, 4000);
    // Another local user speaking for itself (attack: becoming "the user").
    collector->onRecord(peer(5000, 65534), 8, record(5000, 65534));
    EXPECT_EQ(got.size(), 1u);
    EXPECT_TRUE(log.has(LogLevel::Error,
                        "Error: user info from uid 65534 pid 5000 refused: not the active session of a seat\n"));
    // The desktop user's uid from a process outside the seat session.
    collector->onRecord(peer(4001, 1000), 9, record(4001, 1000));
    EXPECT_EQ(got.size(), 1u);
    // Root is believed for anyone.
    collector->onRecord(peer(1, 0), 10, record(77, 65534));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].username, "nobody");
    EXPECT_EQ(got[1].pid, 1);
    EXPECT_FALSE(log.anyContaining("logind is not running"));
}

TEST_F(PeerRules, ARecordForSomeoneElseIsRefusedBeforeLogindIsAsked) {
    collector->start();
    seats->activePid = 4000;
    seats->activeUid = 1000;
    collector->onRecord(peer(4000, 1000), 7, record(4000, 65534));
    EXPECT_TRUE(got.empty());
    collector->onRecord(orv::PeerCredentials{}, 8, record(1, 0));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(seats->asked.load(), 0);
}

TEST_F(PeerRules, WithoutLogindAUserMaySpeakForItselfAndThatIsSaidOnce) {
    auto noLogind = std::make_shared<FakeSeats>(false);
    UserInfoCollectorServer c(dir.path() + "/t", fakeUsers(dir.path()), noLogind);
    c.setUserInfoCallback([this](const UserInfo& u) { got.push_back(u); });
    c.start();
    c.onRecord(peer(5000, 65534), 8, record(1, 65534));
    c.onRecord(peer(5000, 65534), 8, record(1, 65534));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].pid, 5000);
    // Said once, whatever the number of records it lets through.
    EXPECT_EQ(log.countContaining("logind"), 1u);
    EXPECT_EQ(noLogind->asked.load(), 0);
}

TEST_F(PeerRules, ThePidIsTheSendersAsTheKernelTellsIt) {
    seats->activeUid = 65534;
    collector->start();
    ASSERT_TRUE(test::eventually([&] { return collector->running(); }, 3000));
    chmod(dir.path().c_str(), 0755);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c;
        if (read(go[0], &c, 1) != 1) _exit(2);
        if (setuid(65534) != 0) _exit(3);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, (dir.path() + "/s").c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(4);
        auto r = record(12345, 65534);  // claims some other process of the user
        if (write(fd, r.data(), r.size()) != 8) _exit(5);
        usleep(300000);
        _exit(0);
    }
    seats->activePid = child;  // the child is the seat session's process
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(go[0]);
    close(go[1]);
    collector->stop();  // joins the server's thread: `got` is ours again
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].pid, child);
    EXPECT_EQ(got[0].username, "nobody");
}

}  // namespace
}  // namespace qmss
