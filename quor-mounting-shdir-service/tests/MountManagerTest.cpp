#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <sys/syscall.h>
#include <sys/wait.h>

#include "LogCapture.h"
#include "SafeFs.h"
#include "mount/MountManager.h"

namespace qmss {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::TempDir;

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Records what would have been run. A mount is keyed by the inode of the
// directory it was moved onto, so the tests see which directory really got
// it, whatever its path became; failures can be scripted per entry name.
class RecordingSystem : public MountSystem {
public:
    using Key = std::pair<dev_t, ino_t>;
    static std::optional<Key> keyAt(int dirfd, const std::string& name) {
        struct stat st {};
        if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
            return std::nullopt;
        }
        return Key{st.st_dev, st.st_ino};
    }
    int runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds deadline) override {
        commands.push_back(argv);
        deadlines.push_back(deadline);
        return mount_result;
    }
    std::string makeStaging(uid_t, const std::string&) override { return "/run/staging/m-" + std::to_string(++staged); }
    void dropStaging(const std::string& staging) override { dropped.push_back(staging); }
    void releaseStaging(const std::string& staging) override { released.push_back(staging); }
    orv::Result<uint64_t> moveMount(const std::string&, int targetfd, int parentfd, const std::string& name) override {
        if (move_result != 0) return orv::Error::fromErrno(move_result, "move_mount");
        auto key = keyAt(targetfd, ".");
        if (keyAt(parentfd, name) != key) return orv::Error::fromErrno(EXDEV, "check");  // moved, then detached again
        const uint64_t id = mounted[*key] = ++next_id;
        char buf[4096];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(targetfd)).c_str(), buf, sizeof buf);
        targets.emplace_back(buf, n > 0 ? static_cast<size_t>(n) : 0);
        return id;
    }
    orv::Result<void> unmount(int parentfd, const std::string& name, uint64_t id, bool force) override {
        calls.push_back((force ? "force " : "umount ") + name);
        auto key = keyAt(parentfd, name);
        if (!key || !mounted.count(*key) || mounted[*key] != id) return orv::Error::fromErrno(EINVAL);
        if (busy.count(name)) return orv::Error::fromErrno(EBUSY);
        mounted.erase(*key);
        return {};
    }
    orv::Result<void> detach(int parentfd, const std::string& name, uint64_t id) override {
        calls.push_back("detach " + name);
        if (detach_error != 0) return orv::Error::fromErrno(detach_error);
        auto key = keyAt(parentfd, name);
        if (!key || !mounted.count(*key) || mounted[*key] != id) return orv::Error::fromErrno(EINVAL);
        mounted.erase(*key);
        return {};
    }
    orv::UniqueFd openDaemon(const std::string& staging) override {
        return daemons.count(staging) ? orv::UniqueFd(dup(daemons[staging])) : orv::UniqueFd();
    }
    std::vector<std::string> cachedFiles(const std::string& staging) override {
        return {"/cache/" + staging.substr(staging.find_last_of('/') + 1) + "/report.odt"};
    }
    bool isMounted(const std::string& path) const {
        auto key = keyAt(AT_FDCWD, path);
        return key && mounted.count(*key);
    }

    std::vector<std::vector<std::string>> commands;
    std::vector<std::chrono::milliseconds> deadlines;
    std::vector<std::string> calls, dropped, released, targets;
    std::map<Key, uint64_t> mounted;
    std::set<std::string> busy;          // entry names whose unmount fails busy
    std::map<std::string, int> daemons;  // staging → pidfd of a stand-in daemon
    int mount_result = 0;
    int detach_error = 0;
    int move_result = 0;
    unsigned staged = 0;
    uint64_t next_id = 100;
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
    for (size_t i = 0; i < folder.size(); ++i)
        b[4 + i] = static_cast<uint8_t>(folder[i]);
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
        settings.davfs_copy_dir = root.path() + "/davfs-copy";
        manager =
            std::make_unique<MountManager>(settings, sys, nullptr, [this](pid_t p) { return alive.count(p) > 0; });
    }
    void remake() {
        manager =
            std::make_unique<MountManager>(settings, sys, nullptr, [this](pid_t p) { return alive.count(p) > 0; });
    }
    UserInfo alice() const { return UserInfo{"alice", home, 100, 4001, 4002}; }
    UserInfo bob() const { return UserInfo{"bob", home2, 200, 4003, 4003}; }
    void alice_like(int32_t pid) { manager->onUserInfo(UserInfo{"c", home, pid, 0, 0}); }
    void send(uint8_t op, const std::string& folder) {
        auto b = request_bytes(op, folder);
        manager->onShmData(b);
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
    ServiceConfig settings;
    std::set<pid_t> alive;
    RecordingSystem sys;
    std::unique_ptr<MountManager> manager;
};

TEST_F(Manager, RequestBeforeAnyUserInfo) {
    send(1, "share");
    EXPECT_TRUE(log.has(LogLevel::Error, "Cannot process mount operation cause has no info about current user\n"));
    EXPECT_TRUE(sys.commands.empty());
    EXPECT_FALSE(fs::exists(home + "/davfs"));
    EXPECT_FALSE(fs::exists(home + "/.davfs2"));
}

TEST_F(Manager, MountBuildsThePathAndTheCommand) {
    manager->onUserInfo(alice());
    send(1, "host/docs/share");
    const std::string mp = home + "/davfs//share";
    ASSERT_EQ(sys.commands.size(), 1u);
    const std::string home_conf = home + "/.davfs2/davfs2_orvanta.conf";
    // mount.davfs reads root's copy of the davfs2 files, named after the
    // staging directory, never the files in the home.
    const std::string conf = settings.davfs_copy_dir + "/m-1.conf";
    // davfs2 mounts on a root-only staging directory; the mount is then moved
    // onto the directory made in the home.
    const std::string staging = "/run/staging/m-1";
    EXPECT_EQ(sys.commands[0], (std::vector<std::string>{"sudo", "mount", "-t", "davfs", "-o", "uid=alice,conf=" + conf,
                                                         "127.0.0.1:9843", staging}));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Mount cmd sudo mount -t davfs -o uid=\"alice\",conf=\"" + conf +
                                             "\" 127.0.0.1:9843 \"" + staging + "\"\n"));
    EXPECT_EQ(sys.deadlines[0], std::chrono::seconds(30));
    EXPECT_TRUE(sys.isMounted(mp));
    EXPECT_EQ(sys.dropped, std::vector<std::string>{staging});
    EXPECT_TRUE(log.has(LogLevel::Info, "Mounting host/docs/share\n"));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Got msg shfolder: host/docs/share\n"));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Got msg is mount: 1\n"));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Mount created at " + mp + "...\n"));
    auto p = points(alice(), "host/docs/share");
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].path, mp);
    EXPECT_EQ(p[0].state, MountState::Mounted);
    // The directories made for mounting belong to the user; davfs2 files do not.
    EXPECT_EQ(owner(home + "/davfs"), 4001u);
    EXPECT_EQ(owner(mp), 4001u);
    EXPECT_EQ(owner(home_conf), geteuid());
    EXPECT_TRUE(fs::exists(home_conf));
    struct stat st {};
    ASSERT_EQ(lstat(conf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(lstat(settings.davfs_copy_dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(read_file(conf), "buf_size \t64\ngui_optimize \t1\nsecrets \t" + settings.davfs_copy_dir +
                                   "/m-1.secrets\nuse_locks \t0\n");
    EXPECT_EQ(read_file(settings.davfs_copy_dir + "/m-1.secrets"), "127.0.0.1:9843 \"\" \"\"\n");
    // Root's copy goes with the mount.
    send(0, "host/docs/share");
    EXPECT_FALSE(fs::exists(conf));
    EXPECT_FALSE(fs::exists(settings.davfs_copy_dir + "/m-1.secrets"));
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
    EXPECT_TRUE(log.has(LogLevel::Debug, "Got msg is mount: 0\n"));
}

TEST_F(Manager, UnmountAllReachesEveryUserAndNewMountsGoToTheNewUser) {
    manager->onUserInfo(alice());
    send(1, "share");
    manager->onUserInfo(bob());
    send(1, "share");
    EXPECT_EQ(points(bob(), "share").at(0).path, home2 + "/davfs//share");
    EXPECT_EQ(sys.commands.back()[5], "uid=bob,conf=" + settings.davfs_copy_dir + "/m-2.conf");
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
    manager->onShmData(b);
    ASSERT_EQ(sys.commands.size(), 1u);
    EXPECT_TRUE(sys.isMounted(home + "/davfs/one"));
    EXPECT_FALSE(fs::exists(home + "/davfs/two"));
}

TEST_F(Manager, BusyMountIsDetachedNeverForced) {
    manager->onUserInfo(alice());
    send(1, "share");
    const std::string mp = home + "/davfs//share";
    sys.busy.insert("share");
    send(0, "share");
    EXPECT_TRUE(
        log.has(LogLevel::Warning, "Error: Failed to umount " + mp + ". Reason: Device or resource busy [16]\n"));
    EXPECT_TRUE(
        log.has(LogLevel::Info, "Share " + mp + " is in use: detached, it ends when its last file is closed\n"));
    EXPECT_EQ(sys.calls, (std::vector<std::string>{"umount share", "detach share"}));
    EXPECT_TRUE(points(alice(), "share").empty());
    EXPECT_FALSE(sys.isMounted(mp));
    EXPECT_FALSE(fs::exists(mp));
}

TEST_F(Manager, FailedDetachIsRetried) {
    manager->onUserInfo(alice());
    send(1, "share");
    const std::string mp = home + "/davfs//share";
    sys.busy.insert("share");
    sys.detach_error = EPERM;
    send(0, "share");
    auto detaches = [&] { return std::count(sys.calls.begin(), sys.calls.end(), "detach share"); };
    EXPECT_EQ(detaches(), 1);
    ASSERT_EQ(points(alice(), "share").size(), 1u);
    EXPECT_EQ(points(alice(), "share")[0].state, MountState::UnmountFailed);
    EXPECT_TRUE(sys.isMounted(mp));
    manager->retryFailedUnmounts();
    EXPECT_EQ(detaches(), 2);
    EXPECT_EQ(points(alice(), "share").at(0).state, MountState::UnmountFailed);
    sys.detach_error = 0;
    sys.busy.clear();
    manager->retryFailedUnmounts();
    EXPECT_TRUE(points(alice(), "share").empty());
    EXPECT_FALSE(fs::exists(mp));
    EXPECT_EQ(std::count_if(sys.calls.begin(), sys.calls.end(),
                            [](const std::string& c) { return c.rfind("force", 0) == 0; }),
              0);
}

TEST_F(Manager, MountPointThatIsNoLongerMountedIsForgotten) {
    manager->onUserInfo(alice());
    send(1, "share");
    sys.mounted.clear();  // unmounted behind the service's back
    send(0, "share");
    EXPECT_TRUE(points(alice(), "share").empty());
    EXPECT_FALSE(fs::exists(home + "/davfs//share"));
    EXPECT_EQ(std::count(sys.calls.begin(), sys.calls.end(), "force share"), 0);
}

TEST_F(Manager, FailedMountLeavesNoDirectoryAndNoRecord) {
    manager->onUserInfo(alice());
    sys.mount_result = 32;
    send(1, "share");
    EXPECT_TRUE(log.has(LogLevel::Error, "Error: Failed to mount " + home + "/davfs//share\n"));
    EXPECT_TRUE(log.has(LogLevel::Error, "Error: Mount cmd sudo mount -t davfs -o uid=\"alice\",conf=\"" +
                                             settings.davfs_copy_dir +
                                             "/m-1.conf\" 127.0.0.1:9843 \"/run/staging/m-1\" "
                                             "exited with status 32\n"));
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
    EXPECT_TRUE(log.has(LogLevel::Error, "Error: Failed to create config and secret files. Stop mount\n"));
    EXPECT_FALSE(fs::exists(home + "/davfs//share"));
    EXPECT_TRUE(sys.commands.empty());
}

TEST_F(Manager, HostileFolderNamesStayInsideTheHome) {
    manager->onUserInfo(alice());
    for (const std::string name : {"a\"b", "`id`", "$(reboot)", "x; rm -rf ~", "a,b"}) {
        send(1, name);
        EXPECT_EQ(sys.targets.back(), home + "/davfs/" + name);
    }
    size_t before = sys.commands.size();
    send(1, "..");
    send(1, "x/..");
    send(1, ".");
    EXPECT_EQ(sys.commands.size(), before);
    for (const char* bad : {"..", "x/..", "."})
        EXPECT_FALSE(manager->usersTable().at(alice()).count(bad)) << bad;
    // 8000 bytes: too long for a file name; one clear error, nothing mounted.
    send(1, std::string(8000, 'n'));
    EXPECT_EQ(sys.commands.size(), before);
    EXPECT_TRUE(log.anyContaining("Error[36] check dir to mount "));
    // A name with a newline cannot forge a log line.
    send(1, "evil\nError: fake");
    EXPECT_TRUE(log.has(LogLevel::Info, "Mounting evil?Error: fake\n"));
}

TEST_F(Manager, PlantedSymlinksAreRefused) {
    TempDir outside;
    manager->onUserInfo(alice());
    // The mount base itself is a link out of the home.
    fs::create_directory_symlink(outside.path(), home + "/davfs");
    send(1, "share");
    EXPECT_TRUE(sys.commands.empty());
    EXPECT_TRUE(fs::is_symlink(home + "/davfs"));
    EXPECT_TRUE(fs::is_empty(outside.path()));
    // A link where the mount point would go: taken as existing, next name.
    fs::remove(home + "/davfs");
    fs::create_directories(home + "/davfs");
    fs::create_directory_symlink(outside.path(), home + "/davfs/share");
    send(1, "share");
    ASSERT_EQ(sys.commands.size(), 1u);
    EXPECT_TRUE(sys.isMounted(home + "/davfs/share_1"));
    EXPECT_TRUE(fs::is_empty(outside.path()));
}

TEST_F(Manager, MountBaseOutsideTheHomeIsRefused) {
    settings.mount_dir = "/mnt/shares";
    remake();
    manager->onUserInfo(alice());
    send(1, "share");
    EXPECT_TRUE(sys.commands.empty());
    EXPECT_TRUE(log.has(LogLevel::Error,
                        "Error: Mount base /mnt/shares is not inside the home directory " + home + ". Stop mount\n"));
    settings.mount_dir = "$HOME/../escape";
    remake();
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
    EXPECT_TRUE(points(u, "share").empty());
}

TEST_F(Manager, SearchForAFreeMountPointIsBounded) {
    settings.max_candidates = 3;
    remake();
    manager->onUserInfo(alice());
    for (const char* n : {"share", "share_1", "share_2"})
        fs::create_directories(home + "/davfs/" + n);
    send(1, "share");
    EXPECT_TRUE(sys.commands.empty());
    EXPECT_FALSE(fs::exists(home + "/davfs/share_3"));
    EXPECT_TRUE(points(alice(), "share").empty());
}

// ---- a local user racing the service (hooks replay the race exactly) ----

class ManagerRaces : public Manager {
protected:
    void TearDown() override { set_race_hook(nullptr); }
    TempDir victim;  // stands in for /etc/profile.d and other root directories
};

TEST_F(ManagerRaces, MountPointSwappedForALinkNeverSendsTheMountThere) {
    manager->onUserInfo(alice());
    const std::string dir = home + "/davfs/share";
    for (const char* point : {"mount:dir-created", "mount:before-move"}) {
        set_race_hook([&, point](const std::string& p) {
            if (p != point) return;
            fs::rename(dir, dir + ".moved");
            fs::create_directory_symlink(victim.path(), dir);
        });
        send(1, "share");
        set_race_hook(nullptr);
        // The mount went onto the checked directory only; since that is no
        // longer where the service would find it, it was taken off again.
        EXPECT_FALSE(sys.isMounted(victim.path())) << point;
        EXPECT_TRUE(sys.mounted.empty()) << point;
        EXPECT_TRUE(fs::is_empty(victim.path()));
        EXPECT_TRUE(log.has(LogLevel::Error, "Error[18]: while moving the mount onto " + home +
                                                 "/davfs//share. Invalid cross-device link\n"));
        EXPECT_TRUE(points(alice(), "share").empty());
        EXPECT_TRUE(fs::is_symlink(dir));
        fs::remove(dir);
        fs::remove(dir + ".moved");
    }
    // The real user is served as before.
    send(1, "share");
    EXPECT_TRUE(sys.isMounted(dir));
}

TEST_F(ManagerRaces, UnmountThroughASwappedParentActsOnTheMountNotOnTheLinkTarget) {
    manager->onUserInfo(alice());
    send(1, "share");
    send(1, "other");
    ASSERT_EQ(sys.mounted.size(), 2u);
    // The user moves ~/davfs away and links it to a root directory holding an
    // entry of the share's name: a file, and for "other" an empty directory.
    test::write_text(victim.path() + "/share", "root's file\n");
    fs::create_directory(victim.path() + "/other");
    fs::rename(home + "/davfs", home + "/davfs.old");
    fs::create_directory_symlink(victim.path(), home + "/davfs");
    send(2, "");
    EXPECT_TRUE(sys.mounted.empty());
    EXPECT_EQ(test::read_text(victim.path() + "/share"), "root's file\n");
    EXPECT_TRUE(fs::is_directory(victim.path() + "/other"));
    EXPECT_FALSE(fs::exists(home + "/davfs.old/share"));
    EXPECT_FALSE(fs::exists(home + "/davfs.old/other"));
    EXPECT_TRUE(points(alice(), "share").empty());
}

TEST_F(ManagerRaces, MountDirectoryIsRemovedOnlyWhenEmpty) {
    manager->onUserInfo(alice());
    send(1, "share");
    sys.mounted.clear();  // gone behind the service's back; the user filled the directory
    test::write_text(home + "/davfs/share/keep", "x");
    send(0, "share");
    EXPECT_TRUE(points(alice(), "share").empty());
    EXPECT_EQ(test::read_text(home + "/davfs/share/keep"), "x");
    EXPECT_TRUE(log.anyContaining("Error[39]: while unmount " + home + "/davfs//share."));
}

TEST_F(Manager, MountCommandPastItsDeadlineIsReportedAndLeavesNothing) {
    settings.mount_timeout = 7;
    remake();
    manager->onUserInfo(alice());
    sys.mount_result = kCommandTimedOut;
    send(1, "share");
    EXPECT_EQ(sys.deadlines.at(0), std::chrono::seconds(7));
    EXPECT_TRUE(log.has(LogLevel::Error, "Error: Failed to mount " + home + "/davfs//share\n"));
    EXPECT_FALSE(fs::exists(home + "/davfs/share"));
    EXPECT_EQ(sys.dropped, std::vector<std::string>{"/run/staging/m-1"});
    EXPECT_TRUE(points(alice(), "share").empty());
}

TEST_F(Manager, MountThatCannotBeMovedIsNotRecorded) {
    manager->onUserInfo(alice());
    sys.move_result = EINVAL;
    send(1, "share");
    EXPECT_TRUE(log.has(LogLevel::Error,
                        "Error[22]: while moving the mount onto " + home + "/davfs//share. Invalid argument\n"));
    EXPECT_TRUE(points(alice(), "share").empty());
    EXPECT_FALSE(fs::exists(home + "/davfs/share"));
    EXPECT_EQ(sys.dropped.size(), 1u);
}

TEST_F(Manager, UsersTableIsBoundedAndForgetsIdleUsersWhoseProcessIsGone) {
    settings.max_users = 4;
    remake();
    manager->onUserInfo(alice());
    send(1, "share");  // alice has a mount: never dropped while it is there
    for (int32_t pid = 1000; pid < 1100; ++pid) {
        manager->onUserInfo(UserInfo{"bob", home2, pid, 4003, 4003});
    }
    UsersTable t = manager->usersTable();
    EXPECT_LE(t.size(), 4u);
    EXPECT_TRUE(t.count(alice()));
    EXPECT_EQ(manager->currentUser().pid, 1099);
    // The current user stays even though its process is gone.
    EXPECT_TRUE(t.count(UserInfo{"bob", home2, 1099, 4003, 4003}));

    // Live idle users survive the purge of dead ones until the table is full;
    // then the oldest idle entry makes room.
    for (int32_t pid = 2000; pid < 2004; ++pid) {
        alive.insert(pid);
        alice_like(pid);
    }
    t = manager->usersTable();
    EXPECT_EQ(t.size(), 4u);
    EXPECT_FALSE(t.count(UserInfo{"bob", home2, 1099, 4003, 4003}));
    EXPECT_FALSE(t.count(UserInfo{"c", home, 2000, 0, 0}));
    for (int32_t pid = 2001; pid < 2004; ++pid)
        EXPECT_TRUE(t.count(UserInfo{"c", home, pid, 0, 0})) << pid;
    EXPECT_TRUE(t.count(alice()));
}

TEST_F(Manager, FullTableOfUsersWithMountsRefusesANewUser) {
    settings.max_users = 2;
    remake();
    manager->onUserInfo(alice());
    send(1, "a");
    manager->onUserInfo(bob());
    send(1, "b");
    log.clear();
    manager->onUserInfo(UserInfo{"carol", home, 300, 4005, 4005});
    EXPECT_TRUE(
        log.has(LogLevel::Error, "Error: users table full (2 users with mounts), user info for pid 300 dropped\n"));
    EXPECT_EQ(manager->currentUser().pid, 200);
    // Once bob's mount is gone, his entry makes room.
    send(0, "b");
    manager->onUserInfo(UserInfo{"carol", home, 300, 4005, 4005});
    EXPECT_EQ(manager->currentUser().pid, 300);
}

TEST_F(Manager, StagingNameIsHeldWhileItsMountLives) {
    // davfs2's daemon is named after the staging directory: the name may only
    // be taken again once that mount is gone.
    manager->onUserInfo(alice());
    send(1, "share");
    EXPECT_EQ(sys.dropped, std::vector<std::string>{"/run/staging/m-1"});
    EXPECT_TRUE(sys.released.empty());
    sys.mount_result = 32;
    send(1, "other");
    EXPECT_EQ(sys.released, std::vector<std::string>{"/run/staging/m-2"});
    sys.mount_result = 0;
    send(0, "share");
    EXPECT_EQ(sys.released, (std::vector<std::string>{"/run/staging/m-2", "/run/staging/m-1"}));
}

}  // namespace
}  // namespace qmss

namespace qmss {
namespace {

// A stand-in davfs2 daemon: a child that exits after `ms`, and its pidfd.
struct Daemon {
    explicit Daemon(int ms) {
        pid = fork();
        if (pid == 0) {
            usleep(static_cast<useconds_t>(ms) * 1000);
            _exit(0);
        }
        pidfd = orv::UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    }
    ~Daemon() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid;
    orv::UniqueFd pidfd;
};

using Clock = std::chrono::steady_clock;

TEST_F(Manager, EndSharesUnmountsPlainlyAndWaitsForTheDaemonToUpload) {
    manager->onUserInfo(alice());
    send(1, "share");
    Daemon uploading(400);
    sys.daemons["/run/staging/m-1"] = uploading.pidfd.get();
    auto t0 = Clock::now();
    EXPECT_EQ(manager->endShares([](const UserInfo&) { return true; }, std::chrono::seconds(10)), 1u);
    auto took = Clock::now() - t0;
    // It returned once the daemon ended, not at once and not at the bound.
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(sys.calls, std::vector<std::string>{"umount share"});
    EXPECT_FALSE(fs::exists(home + "/davfs/share"));
    EXPECT_TRUE(points(alice(), "share").empty());
    EXPECT_FALSE(log.has(LogLevel::Error, "davfs2 for " + home +
                                              "/davfs//share has not finished uploading after 10 s; "
                                              "1 files in its cache: /cache/m-1/report.odt\n"));
}

TEST_F(Manager, EndSharesPastTheBoundLogsWhatDavfsStillHolds) {
    manager->onUserInfo(alice());
    send(1, "share");
    Daemon stuck(60000);
    sys.daemons["/run/staging/m-1"] = stuck.pidfd.get();
    auto t0 = Clock::now();
    manager->endShares([](const UserInfo&) { return true; }, std::chrono::seconds(1));
    auto took = Clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_TRUE(log.has(LogLevel::Error, "davfs2 for " + home +
                                             "/davfs//share has not finished uploading after 1 s; "
                                             "1 files in its cache: /cache/m-1/report.odt\n"));
    // The daemon is left to finish: never signalled.
    EXPECT_EQ(waitpid(stuck.pid, nullptr, WNOHANG), 0);
}

TEST_F(Manager, EndSharesRetriesABusyShareThenDetachesItNeverForces) {
    manager->onUserInfo(alice());
    send(1, "busy");
    send(1, "free");
    sys.busy.insert("busy");
    manager->endShares([](const UserInfo&) { return true; }, std::chrono::seconds(2));
    EXPECT_EQ(std::count(sys.calls.begin(), sys.calls.end(), "umount free"), 1);
    // Tried about once a second while the bound lasts, then detached.
    EXPECT_GE(std::count(sys.calls.begin(), sys.calls.end(), "umount busy"), 2);
    EXPECT_EQ(sys.calls.back(), "detach busy");
    EXPECT_EQ(std::count_if(sys.calls.begin(), sys.calls.end(),
                            [](const std::string& c) { return c.rfind("force", 0) == 0; }),
              0);
    EXPECT_TRUE(log.has(LogLevel::Warning, "Share " + home +
                                               "/davfs//busy still in use after 2 s: detached, it ends when "
                                               "its last file is closed\n"));
    EXPECT_TRUE(manager->records().empty());
}

TEST_F(Manager, EndSharesOfOneUserLeavesTheOthers) {
    manager->onUserInfo(alice());
    send(1, "a");
    manager->onUserInfo(bob());
    send(1, "b");
    manager->endShares([](const UserInfo& u) { return u.uid == 4001; }, std::chrono::seconds(1));
    EXPECT_TRUE(points(alice(), "a").empty());
    EXPECT_EQ(points(bob(), "b").size(), 1u);
    EXPECT_TRUE(sys.isMounted(home2 + "/davfs/b"));
}

// Adoption trusts a record only as far as the mount table and the tree
// bear it out: the record gives the id, the table and a fresh walk must
// agree.
class Adoption : public Manager {
protected:
    void SetUp() override {
        Manager::SetUp();
        fs::create_directories(home + "/davfs/share");
        orv::UniqueFd dir(open((home + "/davfs/share").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        id = mount_id_of(dir.get());
        ASSERT_NE(id, 0u);
    }
    ShareRecord record() const {
        return ShareRecord{
            id, 100, 4001, 4002, "alice", home, "host/share", home + "/davfs//share", "share", "/run/staging/u4001-x"};
    }
    MountEntry entry() const { return MountEntry{id, home + "/davfs/share", "fuse", "http://127.0.0.1:9843/"}; }
    uint64_t id = 0;
};

TEST_F(Adoption, ARecordTheTableConfirmsIsAdoptedAndReachedByUnmountAll) {
    EXPECT_EQ(manager->adopt({record()}, {entry()}), 1u);
    ASSERT_EQ(points(alice(), "host/share").size(), 1u);
    EXPECT_EQ(points(alice(), "host/share")[0].path, home + "/davfs//share");
    EXPECT_EQ(points(alice(), "host/share")[0].state, MountState::Mounted);
    send(2, "");
    EXPECT_EQ(sys.calls, std::vector<std::string>{"umount share"});
    EXPECT_TRUE(points(alice(), "host/share").empty());
}

TEST_F(Adoption, RecordsTheTableDoesNotBearOutAreForgotten) {
    MountEntry other_fs = entry();
    other_fs.fstype = "ext4";
    MountEntry other_server = entry();
    other_server.source = "http://10.0.0.1:80/";
    MountEntry other_place = entry();
    other_place.mount_point = home + "/elsewhere";
    MountEntry other_id = entry();
    other_id.id = id + 1000;
    for (const MountEntry& e : {other_fs, other_server, other_place, other_id}) {
        EXPECT_EQ(manager->adopt({record()}, {e}), 0u) << e.fstype << " " << e.source << " " << e.mount_point;
    }
    EXPECT_TRUE(manager->records().empty());
}

TEST_F(Adoption, APathThroughALinkIsForgotten) {
    // The user moved the real directory away and put a link in its place: the
    // table still shows the old path, the walk from the home finds a link.
    fs::rename(home + "/davfs", home + "/moved");
    fs::create_directory_symlink(home + "/moved", home + "/davfs");
    EXPECT_EQ(manager->adopt({record()}, {entry()}), 0u);
    ShareRecord outside = record();
    outside.path = root.path() + "/share";
    EXPECT_EQ(manager->adopt({outside}, {entry()}), 0u);
}

TEST_F(Adoption, TheStateFileFollowsEveryChange) {
    ShareStateStore store(root.path() + "/state");
    manager->setStateStore(&store);
    manager->onUserInfo(alice());
    send(1, "one");
    send(1, "two");
    ASSERT_EQ(store.load().size(), 2u);
    send(0, "one");
    std::vector<ShareRecord> left = store.load();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].folder, "two");
    EXPECT_EQ(left[0].path, home + "/davfs//two");
    EXPECT_EQ(left[0].uid, 4001u);
}

}  // namespace
}  // namespace qmss

#include "mount/LogoutWatch.h"
#include "mount/ServiceStop.h"

namespace qmss {
namespace {

class FakeLogins : public LoginStates {
public:
    bool available() const override { return true; }
    bool loggedIn(uid_t uid) override { return !out.count(uid); }
    int changeFd() override { return -1; }
    void flush() override {}
    std::set<uid_t> out;
};

class ScriptedProbe : public StopProbe {
public:
    explicit ScriptedProbe(std::optional<std::string> type) : type_(std::move(type)) {}
    std::optional<std::string> pendingJobType() override { return type_; }

private:
    std::optional<std::string> type_;
};

TEST_F(Manager, ARestartLeavesTheSharesAndTheirRecordForTheNextInstance) {
    ShareStateStore store(root.path() + "/state");
    adopt_recorded_shares(*manager, store, "/proc/self/mountinfo");
    manager->onUserInfo(alice());
    send(1, "share");
    ScriptedProbe restart(std::string("restart"));
    EXPECT_EQ(end_shares_at_stop(*manager, restart, settings), StopKind::Restart);
    EXPECT_EQ(points(alice(), "share").size(), 1u);
    EXPECT_TRUE(sys.isMounted(home + "/davfs/share"));
    EXPECT_EQ(sys.calls, std::vector<std::string>{});
    ASSERT_EQ(store.load().size(), 1u);
}

TEST_F(Manager, AStopOrNoAnswerEndsEveryShareAndEmptiesTheRecord) {
    for (std::optional<std::string> type : {std::optional<std::string>("stop"), std::optional<std::string>()}) {
        ShareStateStore store(root.path() + "/state");
        adopt_recorded_shares(*manager, store, "/proc/self/mountinfo");
        manager->onUserInfo(alice());
        send(1, "share");
        ScriptedProbe probe(type);
        EXPECT_EQ(end_shares_at_stop(*manager, probe, settings), StopKind::Final);
        EXPECT_FALSE(sys.isMounted(home + "/davfs/share"));
        EXPECT_TRUE(store.load().empty());
        EXPECT_TRUE(points(alice(), "share").empty());
        EXPECT_EQ(std::count(sys.calls.begin(), sys.calls.end(), "umount share"), 1);
        sys.calls.clear();
    }
}

TEST_F(Manager, LogoutEndsThatUsersSharesAndCredentialOnly) {
    FakeLogins logins;
    LogoutWatch watch(*manager, logins, settings);
    manager->onUserInfo(alice());
    send(1, "a");
    send(1, "a2");
    manager->onUserInfo(bob());
    send(1, "b");
    const std::string secrets = home + "/.davfs2/secrets_orvanta";
    { std::ofstream(secrets, std::ios::app) << "other.example \"me\" \"pw\"\n"; }
    EXPECT_EQ(watch.checkOnce(), 0u);  // everyone logged in
    logins.out.insert(4001);
    EXPECT_EQ(watch.checkOnce(), 2u);
    EXPECT_TRUE(points(alice(), "a").empty());
    EXPECT_TRUE(points(alice(), "a2").empty());
    EXPECT_FALSE(sys.isMounted(home + "/davfs/a"));
    EXPECT_EQ(points(bob(), "b").size(), 1u);
    EXPECT_TRUE(sys.isMounted(home2 + "/davfs/b"));
    // The service's credential line goes, the user's own lines stay; bob's file
    // is untouched.
    EXPECT_EQ(read_file(secrets), "other.example \"me\" \"pw\"\n");
    EXPECT_EQ(read_file(home2 + "/.davfs2/secrets_orvanta"), "127.0.0.1:9843 \"\" \"\"\n");
    EXPECT_EQ(watch.checkOnce(), 0u);  // nothing left of alice's
}

TEST_F(Manager, LogoutWatchIsOffWhenSwitchedOffOrWithoutLogind) {
    FakeLogins logins;
    settings.unmount_on_logout = false;
    EXPECT_EQ(start_logout_watch(*manager, logins, settings), nullptr);
    class NoLogind : public FakeLogins {
        bool available() const override { return false; }
    } none;
    settings.unmount_on_logout = true;
    EXPECT_EQ(start_logout_watch(*manager, none, settings), nullptr);
    // Said once, where the watch would have started.
    EXPECT_EQ(log.countContaining("logind"), 1u);
    auto watch = start_logout_watch(*manager, logins, settings);
    ASSERT_NE(watch, nullptr);
    watch->stop();
}

}  // namespace
}  // namespace qmss
