// Memory that forked children share with the test: a block holding a bound
// control block with two capacity-8 rings, and a child that takes a lock or
// leaves a ring half-changed in it and stays until it is killed.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shm_internal.h"

namespace shmtest {

/// A shared anonymous mapping, so that forked children see the same block.
struct SharedBlock {
    explicit SharedBlock(size_t n) : size(n) {
        p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) p = nullptr;
    }
    ~SharedBlock() {
        if (p != nullptr) munmap(p, size);
    }
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;
    shm_membuf* mb() const { return static_cast<shm_membuf*>(p); }
    uint8_t* bytes() const { return static_cast<uint8_t*>(p); }
    void* p;
    size_t size;
};

/// 496 + 2 * 8: two rings of capacity 8.
constexpr size_t kCap8Object = 512;

/// A bound block with capacity-8 rings; ring 0 is the one the tests drive.
class Cap8Ring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(block.p, nullptr);
        ASSERT_EQ(shmi_mb_bind(block.mb(), kCap8Object), 0);
    }
    void TearDown() override { shmi_mb_unbind(block.mb()); }

    shm_membuf* mb() const { return block.mb(); }
    const shm_ringbuf& rb() const { return block.mb()->rb[0]; }
    void expect_state(uint64_t head, uint64_t tail, uint64_t has) {
        EXPECT_EQ(rb().head, head);
        EXPECT_EQ(rb().tail, tail);
        EXPECT_EQ(rb().has_data, has);
    }

    SharedBlock block{kCap8Object};
};

/// Forks a child that runs `body`, reports through a pipe that it got
/// through it, and then waits to be killed. Returns the child's pid once it
/// reported; -1 when the fork failed or the child ended without reporting
/// (a body that fails calls _exit).
template <class F>
pid_t fork_holder(F body) {
    int p[2];
    if (pipe(p) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        body();
        char c = 'k';
        if (::write(p[1], &c, 1) != 1) _exit(3);
        for (;;)
            pause();
    }
    close(p[1]);
    char c = 0;
    bool reported = pid > 0 && ::read(p[0], &c, 1) == 1;
    close(p[0]);
    if (pid > 0 && !reported) waitpid(pid, nullptr, 0);
    return reported ? pid : -1;
}

/// Kills the child with SIGKILL and reaps it; its wait status.
inline int kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

/// Runs `body` in a child that is killed with SIGKILL once it has got
/// through it, as a peer dying at that point would be.
template <class F>
void run_and_kill_child(F body) {
    pid_t pid = fork_holder(body);
    ASSERT_GT(pid, 0) << "the child did not get through its part";
    ASSERT_TRUE(WIFSIGNALED(kill_and_reap(pid)));
}

}  // namespace shmtest
