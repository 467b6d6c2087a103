#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

#include "log_capture.h"
#include "mount/mount_manager.h"

namespace qmss {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::TempDir;

// Records what would have been run; mounts are a set of paths, and failures
// can be scripted per path.
class RecordingSystem : public MountSystem {
 public:
  int runCommand(const std::vector<std::string>& argv) override {
    commands.push_back(argv);
    if (mount_result != 0) return mount_result;
    mounted.insert(argv.back());
    return 0;
  }
  int unmount(const std::string& path) override {
    calls.push_back("umount " + path);
    if (busy.count(path)) return EBUSY;
    if (!mounted.erase(path)) return EINVAL;
    return 0;
  }
  int forceUnmount(const std::string& path) override {
    calls.push_back("force " + path);
    if (busy.count(path)) return EBUSY;
    return mounted.erase(path) ? 0 : EINVAL;
  }
  std::vector<std::vector<std::string>> commands;
  std::vector<std::string> calls;
  std::set<std::string> mounted;
  std::set<std::string> busy;
  int mount_result = 0;
};

// Sized once and filled in place: grown piecewise, GCC 12 at -O2 reports a
// bounds error that cannot happen.
std::vector<uint8_t> request_bytes(uint8_t op, const std::string& folder) {
  const size_t total = folder.size() + 5;
  std::vector<uint8_t> b(total);
  b[0] = static_cast<uint8_t>(total & 0xff);
  b[1] = static_cast<uint8_t>(total >> 8);
  b[2] = static_cast<uint8_t>(folder.size() & 0xff);
  b[3] = static_cast<uint8_t>(folder.size() >> 8);
  for (size_t i = 0; i < folder.size(); ++i) b[4 + i] = static_cast<uint8_t>(folder[i]);
  b[total - 1] = op;
  return b;
}

class Manager : public ::testing::Test {
 protected:
  void SetUp() override {
    home = root.path() + "/alice";
    home2 = root.path() + "/bob";
    fs::create_directories(home);
    fs::create_directories(home2);
    manager = std::make_unique<MountManager>(settings, sys);
  }
  UserInfo alice() const { return UserInfo{"alice", home, 100, 4001, 4002}; }
  UserInfo bob() const { return UserInfo{"bob", home2, 200, 4003, 4003}; }
  void send(uint8_t op, const std::string& folder) {
    auto b = request_bytes(op, folder);
    manager->onShmData(b.data(), b.size());
  }
  std::vector<MountPoint> points(const UserInfo& u, const std::string& folder) {
    UsersTable t = manager->usersTable();
    auto it = t.find(u);
    if (it == t.end() || !it->second.count(folder)) return {};
    return it->second.at(folder);
  }
  static uid_t owner(const std::string& p) {
    struct stat st {};
    lstat(p.c_str(), &st);
    return st.st_uid;
  }

  LogCapture log;
  TempDir root;
  std::string home, home2;
  MountSettings settings;
  RecordingSystem sys;
  std::unique_ptr<MountManager> manager;
};

TEST_F(Manager, RequestBeforeAnyUserInfo) {
  send(1, "share");
  EXPECT_TRUE(log.has(kError, "Cannot process mount operation cause has no info about current user\n"));
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_FALSE(fs::exists(home + "/davfs"));
  EXPECT_FALSE(fs::exists(home + "/.davfs2"));
}

TEST_F(Manager, MountBuildsThePathAndTheCommand) {
  manager->onUserInfo(alice());
  send(1, "host/docs/share");
  const std::string mp = home + "/davfs//share";
  ASSERT_EQ(sys.commands.size(), 1u);
  const std::string conf = home + "/.davfs2/davfs2_orvanta.conf";
  EXPECT_EQ(sys.commands[0], (std::vector<std::string>{"sudo", "mount", "-t", "davfs", "-o",
                                                        "uid=alice,conf=" + conf, "127.0.0.1:9843", mp}));
  EXPECT_TRUE(log.has(kDebug, "Mount cmd sudo mount -t davfs -o uid=\"alice\",conf=\"" + conf +
                                  "\" 127.0.0.1:9843 \"" + mp + "\"\n"));
  EXPECT_TRUE(log.has(kInfo, "Mounting host/docs/share\n"));
  EXPECT_TRUE(log.has(kDebug, "Got msg shfolder: host/docs/share\n"));
  EXPECT_TRUE(log.has(kDebug, "Got msg is mount: 1\n"));
  EXPECT_TRUE(log.has(kDebug, "Mount created at " + mp + "...\n"));
  auto p = points(alice(), "host/docs/share");
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].path, mp);
  EXPECT_EQ(p[0].state, MountState::Mounted);
  // The directories made for mounting belong to the user; davfs2 files do not.
  EXPECT_EQ(owner(home + "/davfs"), 4001u);
  EXPECT_EQ(owner(mp), 4001u);
  EXPECT_EQ(owner(conf), geteuid());
}

TEST_F(Manager, SecondMountGetsASuffixAndBothAreRecorded) {
  manager->onUserInfo(alice());
  send(1, "share");
  send(1, "share");
  auto p = points(alice(), "share");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].path, home + "/davfs//share");
  EXPECT_EQ(p[1].path, home + "/davfs//share_1");
}

TEST_F(Manager, FolderEndingInSlashMountsAtUnderscoreOne) {
  manager->onUserInfo(alice());
  send(1, "a/b/");
  auto p = points(alice(), "a/b/");
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].path, home + "/davfs//_1");
}

TEST_F(Manager, UnmountRemovesEveryPointOfTheFolder) {
  manager->onUserInfo(alice());
  send(1, "share");
  send(1, "share");
  send(1, "other");
  send(0, "share");
  EXPECT_TRUE(points(alice(), "share").empty());
  EXPECT_FALSE(fs::exists(home + "/davfs//share"));
  EXPECT_FALSE(fs::exists(home + "/davfs//share_1"));
  EXPECT_EQ(points(alice(), "other").size(), 1u);
  EXPECT_EQ(log.count("Umount result 0\n"), 2u);
  EXPECT_TRUE(log.has(kDebug, "Got msg is mount: 0\n"));
}

TEST_F(Manager, UnmountAllReachesEveryUserAndNewMountsGoToTheNewUser) {
  manager->onUserInfo(alice());
  send(1, "share");
  manager->onUserInfo(bob());
  send(1, "share");
  EXPECT_EQ(points(bob(), "share").at(0).path, home2 + "/davfs//share");
  EXPECT_EQ(sys.commands.back()[5], "uid=bob,conf=" + home2 + "/.davfs2/davfs2_orvanta.conf");
  EXPECT_EQ(manager->currentUser().username, "bob");
  // A user info for an existing pid keeps its mounts.
  manager->onUserInfo(alice());
  EXPECT_EQ(points(alice(), "share").size(), 1u);
  send(2, "");
  EXPECT_TRUE(sys.mounted.empty());
  EXPECT_TRUE(points(alice(), "share").empty());
  EXPECT_TRUE(points(bob(), "share").empty());
}

TEST_F(Manager, UnknownOpDoesNothing) {
  manager->onUserInfo(alice());
  log.clear();
  send(3, "share");
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_TRUE(sys.calls.empty());
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].second, "shm recv 10 bytes\n");
}

TEST_F(Manager, OnlyTheFirstOfTwoRequestsInOneBlockIsCarriedOut) {
  manager->onUserInfo(alice());
  auto b = request_bytes(1, "one");
  auto c = request_bytes(1, "two");
  b.insert(b.end(), c.begin(), c.end());
  manager->onShmData(b.data(), b.size());
  ASSERT_EQ(sys.commands.size(), 1u);
  EXPECT_EQ(sys.commands[0].back(), home + "/davfs//one");
}

TEST_F(Manager, BusyMountIsForcedThenRetried) {
  manager->onUserInfo(alice());
  send(1, "share");
  const std::string mp = home + "/davfs//share";
  sys.busy.insert(mp);
  send(0, "share");
  EXPECT_TRUE(log.has(kWarning, "Error: Failed to umount " + mp + ". Reason: Device or resource busy [16]\n"));
  EXPECT_TRUE(log.has(kError, "Error: Failed to umount force " + mp + ". Reason: Device or resource busy [16]\n"));
  ASSERT_EQ(points(alice(), "share").size(), 1u);
  EXPECT_EQ(points(alice(), "share")[0].state, MountState::UnmountFailed);
  manager->retryFailedUnmounts();
  EXPECT_EQ(log.count("Error: Failed to umount force " + mp + ". Reason: Device or resource busy [16]\n"), 2u);
  sys.busy.clear();
  manager->retryFailedUnmounts();
  EXPECT_TRUE(points(alice(), "share").empty());
  EXPECT_FALSE(fs::exists(mp));
}

TEST_F(Manager, MountPointThatIsNoLongerMountedIsForgotten) {
  manager->onUserInfo(alice());
  send(1, "share");
  sys.mounted.clear();  // unmounted behind the service's back
  send(0, "share");
  EXPECT_TRUE(points(alice(), "share").empty());
  EXPECT_FALSE(fs::exists(home + "/davfs//share"));
  EXPECT_EQ(std::count(sys.calls.begin(), sys.calls.end(), "force " + home + "/davfs//share"), 0);
}

TEST_F(Manager, FailedMountLeavesNoDirectoryAndNoRecord) {
  manager->onUserInfo(alice());
  sys.mount_result = 32;
  send(1, "share");
  EXPECT_TRUE(log.has(kError, "Error: Failed to mount " + home + "/davfs//share\n"));
  EXPECT_TRUE(log.has(kError, "Error: Mount cmd sudo mount -t davfs -o uid=\"alice\",conf=\"" + home +
                                  "/.davfs2/davfs2_orvanta.conf\" 127.0.0.1:9843 \"" + home +
                                  "/davfs//share\" exited with status 32\n"));
  EXPECT_FALSE(fs::exists(home + "/davfs//share"));
  UsersTable t = manager->usersTable();
  ASSERT_TRUE(t.at(alice()).count("share"));
  EXPECT_TRUE(t.at(alice()).at("share").empty());
  // The next attempt takes the plain name again.
  sys.mount_result = 0;
  send(1, "share");
  EXPECT_EQ(points(alice(), "share").at(0).path, home + "/davfs//share");
}

TEST_F(Manager, FailedDavfsPreparationLeavesNoDirectory) {
  manager->onUserInfo(alice());
  test::write_text(home + "/.davfs2", "x");
  fs::create_directories(home + "/.davfs2_1/davfs2_orvanta.conf");
  // An unreadable secrets name makes the preparation fail.
  fs::create_directories(home + "/.davfs2_1");
  test::write_text(home + "/.davfs2_1/davfs2_orvanta_1.conf", "secrets\n");
  send(1, "share");
  EXPECT_TRUE(log.has(kError, "Error: Failed to create config and secret files. Stop mount\n"));
  EXPECT_FALSE(fs::exists(home + "/davfs//share"));
  EXPECT_TRUE(sys.commands.empty());
}

TEST_F(Manager, HostileFolderNamesStayInsideTheHome) {
  manager->onUserInfo(alice());
  for (const std::string name : {"a\"b", "`id`", "$(reboot)", "x; rm -rf ~", "a,b"}) {
    send(1, name);
    EXPECT_EQ(sys.commands.back().back(), home + "/davfs//" + name);
  }
  size_t before = sys.commands.size();
  send(1, "..");
  send(1, "x/..");
  send(1, ".");
  EXPECT_EQ(sys.commands.size(), before);
  EXPECT_TRUE(log.has(kError, "Error: Invalid shared folder name x/... Stop mount\n"));
  // 8000 bytes: too long for a file name; one clear error, nothing mounted.
  send(1, std::string(8000, 'n'));
  EXPECT_EQ(sys.commands.size(), before);
  EXPECT_TRUE(log.anyContaining("Error[36] check dir to mount "));
  // A name with a newline cannot forge a log line.
  send(1, "evil\nError: fake");
  EXPECT_TRUE(log.has(kInfo, "Mounting evil?Error: fake\n"));
}

TEST_F(Manager, PlantedSymlinksAreRefused) {
  TempDir outside;
  manager->onUserInfo(alice());
  // The mount base itself is a link out of the home.
  fs::create_directory_symlink(outside.path(), home + "/davfs");
  send(1, "share");
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_TRUE(log.has(kError, "Error: Mount base " + home + "/davfs is not a directory. Stop mount\n"));
  EXPECT_TRUE(fs::is_empty(outside.path()));
  // A link where the mount point would go: taken as existing, next name.
  fs::remove(home + "/davfs");
  fs::create_directories(home + "/davfs");
  fs::create_directory_symlink(outside.path(), home + "/davfs/share");
  send(1, "share");
  ASSERT_EQ(sys.commands.size(), 1u);
  EXPECT_EQ(sys.commands[0].back(), home + "/davfs//share_1");
}

TEST_F(Manager, MountBaseOutsideTheHomeIsRefused) {
  settings.mount_dir = "/mnt/shares";
  manager = std::make_unique<MountManager>(settings, sys);
  manager->onUserInfo(alice());
  send(1, "share");
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_TRUE(log.has(kError, "Error: Mount base /mnt/shares is not inside the home directory " + home + ". Stop mount\n"));
  settings.mount_dir = "$HOME/../escape";
  manager = std::make_unique<MountManager>(settings, sys);
  manager->onUserInfo(alice());
  send(1, "share");
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_FALSE(fs::exists(root.path() + "/escape"));
}

TEST_F(Manager, UserNameThatWouldChangeTheOptionsIsRefused) {
  UserInfo u = alice();
  u.username = "eve,uid=0";
  manager->onUserInfo(u);
  send(1, "share");
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_TRUE(log.has(kError, "Error: Unsafe user name eve,uid=0 for the mount options. Stop mount\n"));
}

TEST_F(Manager, SearchForAFreeMountPointIsBounded) {
  settings.max_candidates = 3;
  manager = std::make_unique<MountManager>(settings, sys);
  manager->onUserInfo(alice());
  for (const char* n : {"share", "share_1", "share_2"}) fs::create_directories(home + "/davfs/" + n);
  send(1, "share");
  EXPECT_TRUE(sys.commands.empty());
  EXPECT_TRUE(log.has(kError, "Error: No free mount point for share after 3 candidates. Stop mount\n"));
}

}  // namespace
}  // namespace qmss
