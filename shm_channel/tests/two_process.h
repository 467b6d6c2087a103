// What the shared-memory two-process tests share: unique object names,
// deterministic byte streams on both sides, and peers started through the
// common two-process harness (TwoProcess.h) with an object name and an
// argument.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <random>
#include <shm_channel/shm_channel.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TwoProcess.h"

namespace shmtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline std::string unique_name(const char* what) {
    static int counter;
    return "/shmtest-" + std::to_string(getpid()) + "-" + what + "-" + std::to_string(counter++);
}

// ---- deterministic streams -------------------------------------------------

struct Stream {  // byte generator, identical on both sides for a seed
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
    void add(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; i++)
            h = (h ^ p[i]) * 1099511628211ull;
    }
};

// Writes `total` bytes of stream `seed` through shm_write in random pieces of
// up to 70000 bytes, waiting while the ring is full; false on an error or
// when the ring stays full for 60 s.
inline bool send_stream(shm_endpoint* ep, uint64_t seed, uint64_t total) {
    using namespace std::chrono_literals;
    Stream s(seed);
    std::mt19937 sizes{static_cast<unsigned>(seed)};
    std::vector<uint8_t> buf(70000);
    uint64_t sent = 0;
    auto stall = std::chrono::steady_clock::now() + 60s;
    while (sent < total) {
        size_t n = std::uniform_int_distribution<size_t>(1, buf.size())(sizes);
        n = static_cast<size_t>(std::min<uint64_t>(n, total - sent));
        for (size_t i = 0; i < n; i++)
            buf[i] = s.next();
        size_t off = 0;
        while (off < n) {
            ssize_t r = shm_write(ep, buf.data() + off, n - off);
            if (r > 0) {
                off += static_cast<size_t>(r);
                stall = std::chrono::steady_clock::now() + 60s;
            } else if (r == -ENOSPC && std::chrono::steady_clock::now() < stall) {
                usleep(50);
            } else {
                return false;
            }
        }
        sent += n;
    }
    return true;
}

inline uint64_t expected_hash(uint64_t seed, uint64_t total) {
    Stream s(seed);
    Fnv f;
    for (uint64_t i = 0; i < total; i++) {
        uint8_t b = s.next();
        f.add(&b, 1);
    }
    return f.h;
}

using orvtest::Child;
using orvtest::report;

// A peer in a child process: `role` picks what it does, on the object `name`.
inline void spawn(Child& c, const std::string& role, const std::string& name, const std::string& arg = "") {
    orvtest::spawn(c, orvtest::ChildSpec{role, {name, arg}});
}

// Adapts a test binary's child_main(role, name, arg) to the shared entry:
//   ORV_TWO_PROCESS_CHILD_ENTRY(shmtest::name_arg_entry<child_main>)
template <int (*Main)(const std::string&, const std::string&, const std::string&)>
int name_arg_entry(const std::string& role, const std::vector<std::string>& args) {
    return Main(role, args.at(0), args.at(1));
}

[[noreturn]] inline void hold_forever() {
    for (;;)
        pause();
}

}  // namespace shmtest
