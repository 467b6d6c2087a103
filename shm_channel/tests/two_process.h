// What the shared-memory two-process tests share: unique object names,
// deterministic byte streams on both sides, and peers started through the
// common two-process harness (TwoProcess.h) with an object name and an
// argument.
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
