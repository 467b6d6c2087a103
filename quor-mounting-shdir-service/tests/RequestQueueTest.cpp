// The threads of the service meeting around a slow mount command, and the
// deadline that ends a command that never returns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "LogCapture.h"
#include "mount/MountManager.h"
#include "mount/RequestQueue.h"

namespace qmss {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::TempDir;

// A mount command that runs until the test lets it go; everything it is
// asked is recorded in order.
class GatedSystem : public MountSystem {
public:
    int runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds) override {
        std::unique_lock<std::mutex> lock(mu);
        order.push_back("run " + argv.back());
        running = true;
        cv.notify_all();
        cv.wait(lock, [this] { return released; });
        bool was_cancelled = cancelled;
        cancelled = false;
        return was_cancelled ? -1 : 0;
    }
    void cancelCommand() override {
        std::lock_guard<std::mutex> lock(mu);
        if (!running || released) return;
        order.push_back("cancel");
        cancelled = released = true;
        cv.notify_all();
    }
    std::string makeStaging(uid_t, const std::string&) override {
        std::lock_guard<std::mutex> lock(mu);
        return "/staging/" + std::to_string(++n);
    }
    void dropStaging(const std::string&) override {}
    orv::Result<uint64_t> moveMount(const std::string&, int, int, const std::string&) override { return uint64_t{1}; }
    orv::Result<void> unmount(int, const std::string& name, uint64_t, bool) override {
        std::lock_guard<std::mutex> lock(mu);
        order.push_back("unmount " + name);
        return {};
    }
    void waitRunning() {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [this] { return running; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mu);
        released = true;
        cv.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mu);
        return order;
    }

    std::mutex mu;
    std::condition_variable cv;
    bool running = false, released = false, cancelled = false;
    int n = 0;
    std::vector<std::string> order;
};

class SlowMount : public ::testing::Test {
protected:
    void SetUp() override {
        home = root.path() + "/alice";
        fs::create_directories(home);
        config.davfs_copy_dir = root.path() + "/davfs-copy";
    }
    UserInfo alice(int32_t pid = 100) const { return UserInfo{"alice", home, pid, getuid(), getgid()}; }

    LogCapture log;
    TempDir root;
    std::string home;
    ServiceConfig config;
    GatedSystem sys;
};

TEST_F(SlowMount, UserInfoAndRetryAreServedWhileTheCommandRuns) {
    MountManager manager(config, sys);
    RequestQueue queue(manager);
    manager.onUserInfo(alice());
    ASSERT_TRUE(queue.push(FolderRequest{"share", 1}));
    sys.waitRunning();
    // Neither waits for the mount command: both would deadlock the test if
    // the command ran under the service mutex.
    auto other = std::async(std::launch::async, [&] {
        manager.onUserInfo(alice(200));
        manager.retryFailedUnmounts();
        return manager.currentUser().pid;
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(other.get(), 200);
    sys.release();
    queue.drain();
    // The mount was recorded for the user it was made for.
    UsersTable t = manager.usersTable();
    ASSERT_TRUE(t.count(alice()));
    EXPECT_EQ(t.at(alice()).at("share").size(), 1u);
}

TEST_F(SlowMount, RequestsQueuedBehindASlowMountRunInArrivalOrder) {
    MountManager manager(config, sys);
    RequestQueue queue(manager);
    manager.onUserInfo(alice());
    const uint8_t mount_a[] = {6, 0, 1, 0, 'a', 1};
    const uint8_t unmount_b[] = {6, 0, 1, 0, 'b', 0};
    queue.onShmData(mount_a);
    sys.waitRunning();
    // The shared-memory thread is not held: these return at once.
    queue.onShmData(unmount_b);
    EXPECT_TRUE(queue.push(FolderRequest{"c", 1}));
    sys.release();
    queue.drain();
    std::vector<std::string> order = sys.snapshot();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], "run /staging/1");
    EXPECT_EQ(order[1], "run /staging/2");
    UsersTable t = manager.usersTable();
    EXPECT_EQ(t.at(alice()).at("a").size(), 1u);
    EXPECT_EQ(t.at(alice()).at("c").size(), 1u);
    EXPECT_TRUE(log.has(LogLevel::Debug, "Got msg shfolder: a\n"));
}

TEST_F(SlowMount, UnmountAllCancelsAMountInProgressThenUnmountsTheRest) {
    MountManager manager(config, sys);
    RequestQueue queue(manager);
    manager.onUserInfo(alice());
    ASSERT_TRUE(queue.push(FolderRequest{"kept", 1}));
    sys.waitRunning();
    sys.release();
    queue.drain();
    {
        std::lock_guard<std::mutex> lock(sys.mu);
        sys.released = sys.running = false;
    }
    const uint8_t mount_a[] = {6, 0, 1, 0, 'a', 1};
    const uint8_t unmount_all[] = {5, 0, 0, 0, 2};
    queue.onShmData(mount_a);
    sys.waitRunning();
    // Nobody releases the command: only the unmount-all's cancel can.
    queue.onShmData(unmount_all);
    queue.drain();
    std::vector<std::string> order = sys.snapshot();
    EXPECT_EQ(order, (std::vector<std::string>{"run /staging/1", "run /staging/2", "cancel", "unmount kept"}));
    UsersTable t = manager.usersTable();
    EXPECT_TRUE(t.at(alice()).at("a").empty());
    EXPECT_TRUE(t.at(alice()).at("kept").empty());
    EXPECT_FALSE(fs::exists(home + "/davfs/a"));
}

TEST_F(SlowMount, QueueIsBoundedAndStopDropsWhatWaits) {
    MountManager manager(config, sys);
    RequestQueue queue(manager, 2);
    manager.onUserInfo(alice());
    ASSERT_TRUE(queue.push(FolderRequest{"a", 1}));
    sys.waitRunning();
    EXPECT_TRUE(queue.push(FolderRequest{"b", 1}));
    EXPECT_TRUE(queue.push(FolderRequest{"c", 1}));
    EXPECT_FALSE(queue.push(FolderRequest{"d", 1}));
    EXPECT_EQ(queue.waiting(), 2u);
    // The running mount is let go only once the stop has dropped what waits.
    std::thread releaser([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (queue.waiting() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sys.release();
    });
    queue.stop();
    releaser.join();
    EXPECT_FALSE(queue.push(FolderRequest{"e", 1}));
    EXPECT_EQ(sys.snapshot().size(), 1u);  // b and c were dropped at the stop
}

// ---- the real command runner ----

bool alive(pid_t pid) {
    return kill(pid, 0) == 0;
}

pid_t read_pid(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        std::string t = test::read_text(path);
        if (!t.empty() && t.back() == '\n') return static_cast<pid_t>(std::stol(t));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

TEST(RealCommand, ExitStatusIsReturned) {
    EXPECT_EQ(run_command({"sh", "-c", "exit 3"}, std::chrono::seconds(10)), 3);
    EXPECT_EQ(run_command({"true"}, std::chrono::seconds(10)), 0);
    EXPECT_EQ(run_command({"/nonexistent/program"}, std::chrono::seconds(10)), -1);
    // The service blocks SIGTERM in all its threads; the command must not
    // inherit that, or it could not be stopped.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, &old);
    EXPECT_EQ(run_command({"sh", "-c", "kill -TERM $$; exit 0"}, std::chrono::seconds(10)), -1);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST(RealCommand, CommandPastItsDeadlineIsKilledWithEverythingItStarted) {
    LogCapture log;
    TempDir dir;
    const std::string pids = dir.path() + "/pid";
    // A grandchild in a session of its own, as sudo's command on its terminal.
    auto t0 = std::chrono::steady_clock::now();
    int rc = run_command({"sh", "-c", "setsid sh -c 'echo $$ > " + pids + "; exec sleep 600' & sleep 600"},
                         std::chrono::milliseconds(500));
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(rc, kCommandTimedOut);
    EXPECT_LT(took, std::chrono::seconds(60));
    pid_t grandchild = read_pid(pids);
    ASSERT_GT(grandchild, 0);
    // Killed, and reaped by whoever is its parent now.
    for (int i = 0; i < 500 && alive(grandchild); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(alive(grandchild));
}

}  // namespace
}  // namespace qmss
