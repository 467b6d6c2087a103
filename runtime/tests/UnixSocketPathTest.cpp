// Whatever a user planted at the socket path goes away without root ever
// acting on what it points to, and the socket appears with its mode.
#include "runtime/UnixSocketPath.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <fstream>
#include <sstream>

#include "LogRecorder.h"
#include "TestClient.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

struct UnixSocketPath : ::testing::Test {
    test::TempDirForSockets dir;
    std::string path = dir.path + "/s.socket";
    test::LogRecorder log;

    std::error_code bindIt() { return bindUnixSocket(path, 0777, listener, file); }
    bool logged(LogLevel level, const std::string& part) const { return log.logged(level, part); }
    void expectOurSocket() {
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0777u);
        EXPECT_TRUE(test::unixConnect(path)) << "the socket at the path is not ours";
        // No staging directory is left behind.
        for (const auto& e : fs::directory_iterator(dir.path)) {
            EXPECT_EQ(e.path().filename().string().find(".new-"), std::string::npos) << e.path();
        }
    }
    static std::string slurp(const std::string& p) {
        std::ifstream f(p);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    UniqueFd listener;
    UnixSocketFile file;
};

TEST_F(UnixSocketPath, AFreePathGetsTheSocketWithItsModeWhateverTheUmask) {
    const mode_t old = ::umask(077);
    ASSERT_FALSE(bindIt());
    ::umask(old);
    expectOurSocket();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(UnixSocketPath, AnotherUsersRegularFileIsRemoved) {
    { std::ofstream(path) << "planted"; }
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    EXPECT_TRUE(logged(LogLevel::Warning, path + " was a regular file of uid 65534, not our socket; removed it"));
}

TEST_F(UnixSocketPath, ALinkIsRemovedAndWhatItPointsToIsUntouched) {
    const std::string target = dir.path + "/precious";
    { std::ofstream(target) << "root's data"; }
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    EXPECT_EQ(slurp(target), "root's data");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the mode went through the link";
    EXPECT_TRUE(logged(LogLevel::Warning, "was a symbolic link"));
}

TEST_F(UnixSocketPath, ALinkToADirectoryLeavesTheDirectoryAlone) {
    const std::string target = dir.path + "/etcish";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    { std::ofstream(target + "/keep") << "k"; }
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    EXPECT_TRUE(fs::exists(target + "/keep"));
    EXPECT_FALSE(fs::exists(target + "/s.socket"));
}

TEST_F(UnixSocketPath, ADanglingLinkIsReplaced) {
    ASSERT_EQ(::symlink("/nonexistent/where", path.c_str()), 0);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    EXPECT_FALSE(fs::exists("/nonexistent/where"));
}

TEST_F(UnixSocketPath, AnEmptyDirectoryIsRemoved) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    EXPECT_TRUE(logged(LogLevel::Warning, "was an empty directory of uid 0"));
}

TEST_F(UnixSocketPath, AnotherUsersTreeIsMovedAsideWholeNotDeleted) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((path + "/deep").c_str(), 0755), 0);
    { std::ofstream(path + "/deep/file") << "theirs"; }
    const std::string outside = dir.path + "/outside";
    { std::ofstream(outside) << "not to be followed"; }
    ASSERT_EQ(::symlink(outside.c_str(), (path + "/link").c_str()), 0);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    std::string aside;
    for (const auto& e : fs::directory_iterator(dir.path)) {
        if (e.path().filename().string().rfind(".s.socket.moved-", 0) == 0) aside = e.path();
    }
    ASSERT_FALSE(aside.empty()) << "the tree was not moved aside";
    EXPECT_EQ(slurp(aside + "/deep/file"), "theirs");
    EXPECT_TRUE(fs::is_symlink(aside + "/link"));
    EXPECT_EQ(slurp(outside), "not to be followed");
    EXPECT_TRUE(logged(LogLevel::Warning, "was a non-empty directory of uid 65534, not our socket; moved it aside to " +
                                              fs::path(aside).filename().string()));
}

TEST_F(UnixSocketPath, APreviousRunsSocketIsReplacedQuietly) {
    ASSERT_FALSE(bindIt());
    listener.reset();
    UnixSocketFile old = std::move(file);
    ASSERT_FALSE(bindIt());
    expectOurSocket();
    EXPECT_TRUE(logged(LogLevel::Debug, "Cleanup socket " + path));
    for (const auto& line : log.lines())
        EXPECT_NE(line.level, LogLevel::Warning) << line.text;
}

TEST_F(UnixSocketPath, RemovalTakesOnlyTheFileWeBound) {
    ASSERT_FALSE(bindIt());
    // Someone replaced our socket with a file of theirs after the bind.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    { std::ofstream(path) << "theirs"; }
    file.remove();
    EXPECT_EQ(slurp(path), "theirs");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    // Ours is removed, once, with its line.
    UnixSocketFile second;
    UniqueFd fd2;
    ASSERT_FALSE(bindUnixSocket(path, 0777, fd2, second));
    const std::size_t before = log.lines().size();
    second.remove();
    second.remove();
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back().text, "Cleanup socket " + path + "\n");
}

TEST_F(UnixSocketPath, TheSocketListensBeforeItAppears) {
    // A client racing the start (an agent waiting for the path) is never
    // refused: whenever the path is a socket, it accepts connections.
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0}, connected{0};
    std::thread racer([&] {
        while (!stop) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
                if (test::unixConnect(path)) {
                    ++connected;
                } else if (errno == ECONNREFUSED) {
                    ++refused;  // a socket at the path that does not listen
                }
            }
        }
    });
    for (int i = 0; i < 50; ++i) {
        UniqueFd l;
        UnixSocketFile f;
        ASSERT_FALSE(bindUnixSocket(path, 0777, l, f));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        f.remove();
        // Closed only once it is gone from the path.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    racer.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_GT(connected.load(), 0);
}

TEST_F(UnixSocketPath, AMissingDirectoryIsAnError) {
    path = dir.path + "/no/such/s";
    EXPECT_TRUE(bindIt());
}

}  // namespace
}  // namespace orv
