// The two-process test harness: a test starts its peer as a child that
// re-executes the test binary (fork, then exec, so no sanitizer state and no
// thread crosses the fork) and enters the binary's one child entry point,
// declared with ORV_TWO_PROCESS_CHILD_ENTRY. Parent and child share a stream
// socket pair: the child reports progress on it one line per event, and a
// test may run its own byte protocol over it instead.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace orvtest {

/// What to start in the child: the role its entry point dispatches on, the
/// arguments it gets, and the user it runs as (0: stays as the parent is).
struct ChildSpec {
    std::string role;
    std::vector<std::string> args;
    uid_t uid = 0;
};

/// The parent's handle on one child. Going out of scope kills the child
/// (SIGKILL) and reaps it, so a failed test leaves no process behind.
struct Child {
    pid_t pid = -1;
    int fd = -1;  ///< the parent's end of the socket pair
    std::string pending;

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        kill9();
        if (fd >= 0) ::close(fd);
    }

    /// The next line the child reported (without its newline); "" when none
    /// came within `timeout` or the child closed its end.
    std::string line(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string l = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return l;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return "";
            pending.append(buf, static_cast<std::size_t>(n));
        }
    }

    /// Kills the child at once (the dying-peer case) and reaps it.
    void kill9() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    /// Waits for the child to end: its exit status, or 128 + the signal.
    int wait_exit() {
        int st = 0;
        ::waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
};

/// Starts the child described by `spec` (a fatal test failure when the
/// process cannot be made). The child exits 126 when it cannot become
/// spec.uid, 127 when the exec fails.
inline void spawn(Child& c, const ChildSpec& spec) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(sv[0]);
        // The child's end must survive the exec.
        const int fd = ::dup(sv[1]);
        ::setenv("ORV_TEST_CHILD", spec.role.c_str(), 1);
        ::setenv("ORV_TEST_FD", std::to_string(fd).c_str(), 1);
        ::setenv("ORV_TEST_ARGC", std::to_string(spec.args.size()).c_str(), 1);
        for (std::size_t i = 0; i < spec.args.size(); ++i) {
            ::setenv(("ORV_TEST_ARG" + std::to_string(i)).c_str(), spec.args[i].c_str(), 1);
        }
        if (spec.uid != 0 &&
            (::setresgid(spec.uid, spec.uid, spec.uid) != 0 || ::setresuid(spec.uid, spec.uid, spec.uid) != 0)) {
            _exit(126);
        }
        ::execl("/proc/self/exe", "two_process_child", "--gtest_filter=Child.Main", "--gtest_brief=1",
                static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(sv[1]);
    c.pid = pid;
    c.fd = sv[0];
}

// ---- the child's side ----

/// In the child: its end of the socket pair shared with the parent.
inline int parent_fd() {
    static const int fd = std::atoi(std::getenv("ORV_TEST_FD"));
    return fd;
}

/// In the child: the arguments of its ChildSpec.
inline std::vector<std::string> child_args() {
    std::vector<std::string> args;
    const char* n = std::getenv("ORV_TEST_ARGC");
    const int count = n != nullptr ? std::atoi(n) : 0;
    for (int i = 0; i < count; ++i) {
        const char* a = std::getenv(("ORV_TEST_ARG" + std::to_string(i)).c_str());
        args.emplace_back(a != nullptr ? a : "");
    }
    return args;
}

/// In the child: reports one event line to the parent; a child that cannot
/// tell its parent ends (status 90), as the parent's test cannot go on.
inline void report(const std::string& s) {
    const std::string l = s + "\n";
    if (::write(parent_fd(), l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(90);
}

}  // namespace orvtest

/// The test binary's child entry point: runs `fn(role, args)` in a spawned
/// child and exits with its result; skipped in a normal test run. `fn` is any
/// callable taking (const std::string&, const std::vector<std::string>&).
#define ORV_TWO_PROCESS_CHILD_ENTRY(fn)                                                               \
    TEST(Child, Main) {                                                                               \
        const char* role_ = std::getenv("ORV_TEST_CHILD");                                            \
        if (role_ == nullptr) GTEST_SKIP() << "peer process entry, runs only when spawned by a test"; \
        const int rc_ = (fn)(std::string(role_), ::orvtest::child_args());                            \
        std::fflush(stdout);                                                                          \
        _exit(rc_);                                                                                   \
    }
