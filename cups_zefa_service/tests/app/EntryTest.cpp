// The entry point run for real (fork, daemon(0,0), signals, pid file) with a
// test double behind the two opens. The test process is a child subreaper, so
// the detached daemon is reparented to it and its exit status can be seen.
#include "app/Entry.h"
#include "app/PidFile.h"

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Waits for a host that never comes the way the real service does: a retry
// timer on the loop, so the loop (and its signals) stay free meanwhile.
class WaitingService : public czs::PrintChannelService {
public:
    explicit WaitingService(asio::io_context& io) : timer_(io) {}
    int32_t openHostChannel() override {
        retry();
        return 0;
    }
    int32_t openBackendSocket() override { return 0; }

private:
    void retry() {
        timer_.expires_after(std::chrono::seconds(3));
        timer_.async_wait([this](const std::error_code& ec) {
            if (!ec) retry();
        });
    }
    asio::steady_timer timer_;
};

class FakeService : public czs::PrintChannelService {
public:
    FakeService(std::function<int32_t()> host, std::function<int32_t()> socket)
        : host_(std::move(host)), socket_(std::move(socket)) {}
    int32_t openHostChannel() override { return host_(); }
    int32_t openBackendSocket() override { return socket_(); }

private:
    std::function<int32_t()> host_;
    std::function<int32_t()> socket_;
};

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
};

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        char tmpl[] = "/tmp/czs_entry.XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        paths_.pidFile = (dir_ / "cups_zefa_service.pid").string();
        paths_.logFile = (dir_ / "log/cups_daemon.log").string();
    }
    void TearDown() override {
        reapAll();
        fs::remove_all(dir_);
    }

    // Runs the entry point in a child of its own process group (so a stray
    // kill(0) could never reach the test runner) and returns how it ended.
    Result run(std::vector<std::string> args, czs::ServiceFactory factory = {}) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        // The child must not inherit (and later flush) what the test runner
        // has buffered for its own output.
        std::fflush(stdout);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);  // the daemon must not keep the pipe open
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>("cups_zefa_service"));
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            if (!factory) {
                factory = [](asio::io_context&) {
                    return std::make_unique<FakeService>([] { return 0; }, [] { return 0; });
                };
            }
            int rc = czs::runEntry(static_cast<int>(argv.size() - 1), argv.data(), factory, paths_);
            std::fflush(stdout);
            ::_exit(rc & 0xff);
        }
        ::close(fds[1]);
        Result r;
        char buf[256];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
            r.out.append(buf, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        r.status = waitFor(pid);
        return r;
    }

    static int waitFor(pid_t pid) {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid) {
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Waits (bounded) for the daemon, reparented to us, to end.
    static int waitForDaemon(pid_t pid) {
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid, SIGKILL);
        waitFor(pid);
        return -1;
    }

    static void reapAll() {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {}
    }

    std::string log() const {
        std::ifstream in(paths_.logFile);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    bool waitForLog(const std::string& text) const {
        for (int i = 0; i < 500; ++i) {
            if (log().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    pid_t waitForPidFile() const {
        for (int i = 0; i < 500; ++i) {
            pid_t pid = czs::PidFile(paths_.pidFile).read();
            if (pid > 0) {
                return pid;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    void writePidFile(const std::string& text) const { std::ofstream(paths_.pidFile) << text; }

    // The untagged line after the header: "[...] [PID:n] [LEVEL] text".
    static bool hasLine(const std::string& log, const std::string& level, const std::string& text) {
        return log.find("] [" + level + "] " + text + "\n") != std::string::npos;
    }

    fs::path dir_;
    czs::EntryPaths paths_;
};

TEST_F(EntryTest, UsageWithoutOrWithTwoArguments) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"start", "stop"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Need to specify command: start, stop, restart\n");
    }
    EXPECT_TRUE(hasLine(log(), "ERROR", "Need to specify command: start, stop, restart"));
}

TEST_F(EntryTest, CommandsAreCaseSensitive) {
    for (const char* cmd : {"START", "Start", "status"}) {
        EXPECT_EQ(run({cmd}).status, 0) << cmd;
    }
    std::string text = log();
    size_t count = 0;
    for (size_t at = 0; (at = text.find("[ERROR] Unknown arg\n", at)) != std::string::npos; ++at) {
        ++count;
    }
    EXPECT_EQ(count, 3u);
    EXPECT_FALSE(fs::exists(paths_.pidFile));
}

TEST_F(EntryTest, StopAndRestartWithoutPid) {
    EXPECT_EQ(run({"stop"}).status, 0);
    EXPECT_TRUE(hasLine(log(), "ERROR", "Daemon already stopped"));
    EXPECT_EQ(run({"restart"}).status, 0);
    EXPECT_TRUE(hasLine(log(), "ERROR", "Unable to restart. Daemon isn't running"));
    EXPECT_EQ(log().find("Starting Orvanta Cups Daemon"), std::string::npos);
}

TEST_F(EntryTest, StopWithStalePidRemovesThePidFile) {
    writePidFile("4194303");  // above any pid this machine hands out
    EXPECT_EQ(run({"stop"}).status, 0);
    EXPECT_FALSE(fs::exists(paths_.pidFile));
    EXPECT_EQ(log().find("Daemon already stopped"), std::string::npos);
}

TEST_F(EntryTest, PidFileWithoutAPositiveNumberMeansNoPid) {
    // 0 and negative numbers would make kill() signal a whole process group
    // or every process; the child runs in its own group, so such a kill would
    // show up as the child dying of SIGTERM.
    for (const char* text : {"", "0", "-1", "abc", "12abc", "+5", "99999999999999"}) {
        writePidFile(text);
        EXPECT_EQ(run({"stop"}).status, 0) << '"' << text << '"';
        EXPECT_EQ(run({"restart"}).status, 0) << '"' << text << '"';
    }
    EXPECT_EQ(czs::PidFile(paths_.pidFile).read(), -1);
    writePidFile(" 42\n");
    EXPECT_EQ(czs::PidFile(paths_.pidFile).read(), 42);
}

TEST_F(EntryTest, StartDetachesRunsAndStopsOnSigterm) {
    Result r = run({"start"});
    EXPECT_EQ(r.status, 0);  // the foreground process ends once detached
    pid_t daemonPid = waitForPidFile();
    ASSERT_GT(daemonPid, 0);
    ASSERT_TRUE(waitForLog("Starting Orvanta Cups Daemon\n"));

    // The pid file holds the bare number, no newline.
    std::ifstream in(paths_.pidFile);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, std::to_string(daemonPid));

    EXPECT_EQ(run({"stop"}).status, 0);
    EXPECT_EQ(waitForDaemon(daemonPid), 0);
    EXPECT_FALSE(fs::exists(paths_.pidFile));

    std::string text = log();
    size_t banner = text.find("[INFO] ---------Orvanta Cups Daemon---------\n\n");
    size_t starting = text.find("[INFO] Starting Orvanta Cups Daemon\n");
    size_t signal = text.find("[INFO] got signal 15\n");
    size_t stopped = text.find("[INFO] Stopped Orvanta Cups Daemon\n");
    ASSERT_NE(banner, std::string::npos);
    EXPECT_LT(banner, starting);
    EXPECT_LT(starting, signal);
    EXPECT_LT(signal, stopped);
    EXPECT_NE(stopped, std::string::npos);

    // Lines of the detached daemon carry the pid of the process that ran the
    // command, captured when the logger was configured.
    size_t lineStart = text.rfind('\n', starting - 2);
    std::string line = text.substr(lineStart + 1, starting - lineStart);
    EXPECT_EQ(line.find("[PID:" + std::to_string(daemonPid) + "]"), std::string::npos) << line;
}

TEST_F(EntryTest, RunningDaemonLeavesPidFileOnSigterm) {
    run({"start"});
    pid_t daemonPid = waitForPidFile();
    ASSERT_GT(daemonPid, 0);
    ASSERT_TRUE(waitForLog("Starting Orvanta Cups Daemon\n"));
    ::kill(daemonPid, SIGTERM);
    EXPECT_EQ(waitForDaemon(daemonPid), 0);
    EXPECT_TRUE(fs::exists(paths_.pidFile));
    EXPECT_TRUE(hasLine(log(), "INFO", "Stopped Orvanta Cups Daemon"));
}

TEST_F(EntryTest, SigtermBeforeTheLoopRunsStopsItAtOnce) {
    run({"start"}, [](asio::io_context&) {
        return std::make_unique<FakeService>(
            [] {
                ::kill(::getpid(), SIGTERM);  // arrives while the opens are still running
                return 0;
            },
            [] { return 0; });
    });
    pid_t daemonPid = waitForPidFile();
    ASSERT_GT(daemonPid, 0);
    EXPECT_EQ(waitForDaemon(daemonPid), 0);
    std::string text = log();
    EXPECT_LT(text.find("[INFO] got signal 15\n"), text.find("[INFO] Stopped Orvanta Cups Daemon\n"));
    EXPECT_NE(text.find("Stopped Orvanta Cups Daemon"), std::string::npos);
}

TEST_F(EntryTest, FailedOpensStopThroughThePidFile) {
    struct Case {
        int32_t host;
        int32_t socket;
        const char* line;
    };
    for (const Case& c : {Case{1, 0, "Serial port not open"}, Case{0, 1, "Socket already open"}}) {
        fs::remove(paths_.logFile);
        run({"start"}, [c](asio::io_context&) {
            return std::make_unique<FakeService>([c] { return c.host; }, [c] { return c.socket; });
        });
        ASSERT_TRUE(waitForLog(std::string("[ERROR] ") + c.line + "\n"));
        ASSERT_TRUE(waitForLog("[INFO] got signal 15\n"));
        // The daemon signalled itself, removed its pid file and exited 0.
        for (int i = 0; i < 200 && fs::exists(paths_.pidFile); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_FALSE(fs::exists(paths_.pidFile));
        EXPECT_EQ(log().find("Stopped Orvanta Cups Daemon"), std::string::npos);
        reapAll();
    }
}

TEST_F(EntryTest, FailedOpenWithoutPidFileExits255) {
    // A pid file that cannot be written: the failed start-up finds no pid.
    paths_.pidFile = (dir_ / "missing-dir/cups_zefa_service.pid").string();
    const std::string daemonPidFile = (dir_ / "daemon-pid").string();
    run({"start"}, [daemonPidFile](asio::io_context&) {
        return std::make_unique<FakeService>(
            [daemonPidFile] {
                std::ofstream(daemonPidFile) << ::getpid();
                return 1;
            },
            [] { return 0; });
    });
    ASSERT_TRUE(waitForLog("[ERROR] Daemon already stopped\n"));
    pid_t daemonPid = czs::PidFile(daemonPidFile).read();
    ASSERT_GT(daemonPid, 0);
    EXPECT_EQ(waitForDaemon(daemonPid), 255);
}

TEST_F(EntryTest, SigtermOrStopWhileWaitingForTheHostEndsTheDaemonWithinASecond) {
    auto waiting = [](asio::io_context& io) { return std::make_unique<WaitingService>(io); };
    for (bool byCommand : {false, true}) {
        fs::remove(paths_.logFile);
        fs::remove(paths_.pidFile);  // SIGTERM leaves it: not to be mistaken for the next daemon's
        ASSERT_EQ(run({"start"}, waiting).status, 0);
        pid_t daemonPid = waitForPidFile();
        ASSERT_GT(daemonPid, 0);
        ASSERT_TRUE(waitForLog("Starting Orvanta Cups Daemon\n"));
        std::this_thread::sleep_for(100ms);  // well inside the first 3 s pause
        auto t0 = std::chrono::steady_clock::now();
        if (byCommand) {
            EXPECT_EQ(run({"stop"}).status, 0);
        } else {
            ::kill(daemonPid, SIGTERM);
        }
        EXPECT_EQ(waitForDaemon(daemonPid), 0) << (byCommand ? "stop" : "SIGTERM");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
        std::string text = log();
        size_t signal = text.find("[INFO] got signal 15\n");
        size_t stopped = text.find("[INFO] Stopped Orvanta Cups Daemon\n");
        ASSERT_NE(signal, std::string::npos);
        EXPECT_NE(stopped, std::string::npos);
        EXPECT_LT(signal, stopped);
    }
}

// A service manager's notification socket, as systemd offers one: a datagram
// socket whose path the child finds in NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path.string()) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~NotifySocket() { ::close(fd_); }
    const std::string& path() const { return path_; }

    // The next message, or "" when none comes within `limit`.
    std::string next(std::chrono::milliseconds limit = 5000ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return "";
        char buf[1024];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // Messages until one contains `what` (which is returned), skipping the rest.
    std::string until(const std::string& what, std::vector<std::string>* seen = nullptr) const {
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;) {
            std::string m = next(1000ms);
            if (seen && !m.empty()) seen->push_back(m);
            if (m.find(what) != std::string::npos) return m;
        }
        return "";
    }

private:
    std::string path_;
    int fd_ = -1;
};

// Started by a service manager (NOTIFY_SOCKET set), "start" runs the daemon in
// the process the manager started, says READY=1 only once the backend port is
// open, pings the watchdog from its loop and says STOPPING=1 on SIGTERM.
TEST_F(EntryTest, UnderAServiceManagerRunsInTheForegroundAndReportsItsState) {
    NotifySocket manager(dir_ / "notify");
    auto factory = [&manager](asio::io_context&) {
        // The backend open tells the manager's socket when it happens, so
        // the order of readiness and port can be seen.
        return std::make_unique<FakeService>(
            [] { return 0; },
            [&manager] {
                int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
                sockaddr_un addr{};
                addr.sun_family = AF_UNIX;
                std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", manager.path().c_str());
                ::sendto(fd, "BACKEND_OPEN", 12, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
                ::close(fd);
                return 0;
            });
    };
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
        ::setenv("WATCHDOG_USEC", "200000", 1);
        char prog[] = "cups_zefa_service";
        char cmd[] = "start";
        char* argv[] = {prog, cmd, nullptr};
        ::_exit(czs::runEntry(2, argv, factory, paths_) & 0xff);
    }
    std::vector<std::string> seen;
    ASSERT_NE(manager.until("READY=1", &seen), "") << "no readiness";
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2], "BACKEND_OPEN") << "ready before the backend port was open";
    EXPECT_NE(seen.back().find("STATUS="), std::string::npos);
    // Half of the 200 ms the manager asked for: several pings in a second.
    int pings = 0;
    for (auto end = std::chrono::steady_clock::now() + 1s; std::chrono::steady_clock::now() < end;) {
        if (manager.next(300ms) == "WATCHDOG=1") ++pings;
    }
    EXPECT_GE(pings, 5);
    EXPECT_LE(pings, 15);
    // No detaching and no pid file: the manager knows the process.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0);
    EXPECT_FALSE(fs::exists(paths_.pidFile));
    ::kill(pid, SIGTERM);
    EXPECT_NE(manager.until("STOPPING=1"), "");
    EXPECT_EQ(waitForDaemon(pid), 0);
    EXPECT_TRUE(waitForLog("Stopped Orvanta Cups Daemon\n"));
}

// A daemon that cannot open its backend port never claims to be ready.
TEST_F(EntryTest, UnderAServiceManagerAFailedOpenIsNeverReady) {
    NotifySocket manager(dir_ / "notify");
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
        char prog[] = "cups_zefa_service";
        char cmd[] = "start";
        char* argv[] = {prog, cmd, nullptr};
        auto failing = [](asio::io_context&) {
            return std::make_unique<FakeService>([] { return 0; }, [] { return -1; });
        };
        ::_exit(czs::runEntry(2, argv, failing, paths_) & 0xff);
    }
    EXPECT_EQ(waitForDaemon(pid), 255);
    for (std::string m; !(m = manager.next(200ms)).empty();) {
        EXPECT_EQ(m.find("READY=1"), std::string::npos) << m;
    }
    EXPECT_TRUE(hasLine(log(), "ERROR", "Socket already open"));
}

}  // namespace
