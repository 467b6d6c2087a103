// What the two-process tests share: unique object names, deterministic
// byte streams on both sides, and peer processes that re-execute the test
// binary (fork then exec, so no sanitizer sees threads across a fork) and
// report progress on a pipe, one line per event.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace shmtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::string unique_name(const char *what) {
  static int counter;
  return "/shmtest-" + std::to_string(getpid()) + "-" + what + "-" +
         std::to_string(counter++);
}

// ---- deterministic streams -------------------------------------------------

struct Stream { // byte generator, identical on both sides for a seed
  explicit Stream(uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint8_t next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return uint8_t(x >> 24);
  }
  uint64_t x;
};

struct Fnv {
  uint64_t h = 1469598103934665603ull;
  void add(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
      h = (h ^ p[i]) * 1099511628211ull;
  }
};

inline uint64_t expected_hash(uint64_t seed, uint64_t total) {
  Stream s(seed);
  Fnv f;
  for (uint64_t i = 0; i < total; i++) {
    uint8_t b = s.next();
    f.add(&b, 1);
  }
  return f.h;
}

struct Child {
  pid_t pid = -1;
  int fd = -1; // read end of the report pipe
  std::string pending;

  // Next report line, or "" on timeout/EOF.
  std::string line(std::chrono::milliseconds t = 20000ms) {
    auto end = Clock::now() + t;
    for (;;) {
      size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string l = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return l;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0)
        return "";
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, int(left.count())) <= 0)
        return "";
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0)
        return "";
      pending.append(buf, size_t(n));
    }
  }
  void kill9() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  int wait_exit() {
    int st = 0;
    waitpid(pid, &st, 0);
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  ~Child() {
    kill9();
    if (fd >= 0)
      close(fd);
  }
};

inline void spawn(Child &c, const std::string &role, const std::string &name,
           const std::string &arg = "") {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(p[0]);
    setenv("SHM_TEST_CHILD", role.c_str(), 1);
    setenv("SHM_TEST_NAME", name.c_str(), 1);
    setenv("SHM_TEST_ARG", arg.c_str(), 1);
    setenv("SHM_TEST_FD", std::to_string(p[1]).c_str(), 1);
    execl("/proc/self/exe", "endpoint_child", "--gtest_filter=Child.Main",
          "--gtest_brief=1", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(p[1]);
  c.pid = pid;
  c.fd = p[0];
}

inline void report(const std::string &s) {
  static int fd = atoi(getenv("SHM_TEST_FD"));
  std::string l = s + "\n";
  if (write(fd, l.data(), l.size()) != ssize_t(l.size()))
    _exit(90);
}

[[noreturn]] inline void hold_forever() {
  for (;;)
    pause();
}

} // namespace shmtest
