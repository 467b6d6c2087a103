#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "log_capture.h"
#include "user_info/user_info_collector.h"

namespace qmss {
namespace {

using test::LogCapture;
using test::TempDir;

std::vector<uint8_t> record(int32_t pid, uint32_t uid) {
  std::vector<uint8_t> r(8);
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
  auto info = parse_user_info(r.data(), lookup);
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
    EXPECT_FALSE(parse_user_info(r.data(), lookup)) << c.line;
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << c.line;
    EXPECT_EQ(lines[0], std::make_pair(int(kError), std::string(c.line)));
  }
}

TEST(ParseUserInfoSystem, RootFromTheRealDatabase) {
  LogCapture log;
  auto r = record(1, 0);
  auto info = parse_user_info(r.data());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->username, "root");
}

// A collector on a socket in a temp dir with a fake user database.
class Collector : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.path() + "/s.socket";
    server = std::make_unique<UserInfoCollectorServer>(path, [this](uint32_t uid) -> std::optional<PasswdEntry> {
      if (uid == 0) return PasswdEntry{"root", dir.path(), 0, 0};
      if (uid == 1000) return PasswdEntry{"alice", dir.path(), 1000, 1000};
      if (uid == 65534) return PasswdEntry{"nobody", dir.path(), 65534, 65534};
      return std::nullopt;
    });
    server->setUserInfoCallback([this](const UserInfo& u) {
      std::lock_guard<std::mutex> lock(mu);
      got.push_back(u);
    });
    server->start();
    waitFor([&] { return access(path.c_str(), F_OK) == 0; });
  }

  int connectClient() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  }

  template <class F>
  static bool waitFor(F f, int ms = 3000) {
    for (int i = 0; i < ms / 5; ++i) {
      if (f()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
  }

  size_t gotCount() {
    std::lock_guard<std::mutex> lock(mu);
    return got.size();
  }

  LogCapture log;
  TempDir dir;
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
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  ASSERT_EQ(write(fd, both.data(), both.size()), 16);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 2; }));
  // 3 bytes, then 5: the first delivery waits.
  auto c = record(12, 1000);
  ASSERT_EQ(write(fd, c.data(), 3), 3);
  ASSERT_TRUE(waitFor([&] {
    for (const auto& [sev, text] : log.lines()) {
      if (sev == kDebug && text.rfind("Wait for more data - client ", 0) == 0 &&
          text.size() > 8 && text.compare(text.size() - 8, 8, ", len 3\n") == 0) {
        return true;
      }
    }
    return false;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(gotCount(), 2u);
  ASSERT_EQ(write(fd, c.data() + 3, 5), 5);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 3; }));
  // 12 bytes: one record, 4 stay buffered and complete with the next 4.
  auto d = record(13, 1000);
  auto e = record(14, 1000);
  std::vector<uint8_t> twelve = d;
  twelve.insert(twelve.end(), e.begin(), e.begin() + 4);
  ASSERT_EQ(write(fd, twelve.data(), 12), 12);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 4; }));
  ASSERT_EQ(write(fd, e.data() + 4, 4), 4);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 5; }));
  std::lock_guard<std::mutex> lock(mu);
  std::vector<int32_t> pids;
  for (auto& u : got) pids.push_back(u.pid);
  EXPECT_EQ(pids, (std::vector<int32_t>{10, 11, 12, 13, 14}));
  EXPECT_EQ(got[0].username, "alice");
  EXPECT_EQ(got[1].username, "root");
  size_t waits = 0;
  for (const auto& l : log.lines()) waits += l.second.rfind("Wait for more data", 0) == 0;
  EXPECT_EQ(waits, 1u);
  close(fd);
}

TEST_F(Collector, InvalidRecordsAreSkippedAndTheConnectionStays) {
  int fd = connectClient();
  std::vector<uint8_t> data = record(0, 1000);
  auto bad_uid = record(5, 4321);
  auto good = record(6, 1000);
  data.insert(data.end(), bad_uid.begin(), bad_uid.end());
  data.insert(data.end(), good.begin(), good.end());
  ASSERT_EQ(write(fd, data.data(), data.size()), 24);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 1; }));
  EXPECT_TRUE(log.has(kError, "Error: parsing user info failed, pid not valid\n"));
  EXPECT_TRUE(log.has(kError, "Error: parsing user info failed, uid not valid\n"));
  close(fd);
}

TEST_F(Collector, LeftoverBytesDoNotLeakIntoTheNextConnection) {
  int fd = connectClient();
  auto a = record(20, 1000);
  ASSERT_EQ(write(fd, a.data(), 5), 5);
  ASSERT_TRUE(waitFor([&] { return log.anyContaining(", len 5\n"); }));
  close(fd);
  ASSERT_TRUE(waitFor([&] { return log.anyContaining("disconnected. Reason: read error"); }));
  // Most likely the same descriptor number; the new stream starts clean.
  int fd2 = connectClient();
  auto b = record(21, 1000);
  ASSERT_EQ(write(fd2, b.data(), 8), 8);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 1; }));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(got[0].pid, 21);
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
    auto spoof = record(30, 1000);  // claims to be alice
    auto own = record(31, 65534);   // itself: accepted
    spoof.insert(spoof.end(), own.begin(), own.end());
    if (write(fd, spoof.data(), spoof.size()) != 16) _exit(5);
    usleep(200000);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(waitFor([&] { return gotCount() == 1; }));
  EXPECT_TRUE(log.has(kError, "Error: user info from uid 65534 claims uid 1000, dropped\n"));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(got[0].pid, 31);
  EXPECT_EQ(got[0].username, "nobody");
}

TEST_F(Collector, ClientThatClosesWithoutSending) {
  int fd = connectClient();
  ASSERT_TRUE(waitFor([&] { return log.has(kDebug, "now_client_num: 1\n"); }));
  close(fd);
  ASSERT_TRUE(waitFor([&] { return log.count("now_client_num: 0\n") == 1; }));
  EXPECT_TRUE(log.anyContaining("disconnected. Reason: read error - "));
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
    UserInfoCollectorServer server(path);
    server.start();
    for (int i = 0; i < 600 && !log.anyContaining("Listening socket"); ++i) usleep(5000);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
  }
  EXPECT_TRUE(log.has(kDebug, "Cleanup socket " + path + "\n"));
  EXPECT_FALSE(log.has(kError, "Error: Failed to bind socket\n"));
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
    UserInfoCollectorServer server(path);
    server.start();
    struct stat st {};
    for (int k = 0; k < 600 && lstat(path.c_str(), &st) != 0; ++k) usleep(1000);
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

TEST(CollectorStart, BindFailureKeepsUmaskAndEndsOnlyTheThread) {
  LogCapture log;
  TempDir dir;
  std::string path = dir.path() + "/no/such/dir/s.socket";
  mode_t before = umask(027);
  {
    UserInfoCollectorServer server(path);
    server.start();
    for (int i = 0; i < 600 && !log.anyContaining("Failed to bind"); ++i) usleep(5000);
    EXPECT_TRUE(log.has(kError, "Error: Failed to bind socket\n"));
    for (int i = 0; i < 200 && server.running(); ++i) usleep(5000);
    EXPECT_FALSE(server.running());
  }
  EXPECT_EQ(umask(before), 027u);
}

}  // namespace
}  // namespace qmss
