// Watching a peer's robust lock without taking it (what the hang-up listener
// sleeps on): the watch ends when the holder releases the lock, dies, or is
// woken on purpose, and not before.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "shm_internal.h"
#include "shared_block.h"

namespace {

using namespace std::chrono_literals;
using shmtest::fork_holder;
using shmtest::kill_and_reap;

// Far beyond any wait below: a watch that ends within these tests was woken,
// it did not run out.
constexpr uint64_t kBackstopUs = 20000000u;

// A lock in shared anonymous memory, so a forked child can hold it.
struct SharedLock {
    SharedLock() {
        void* p = mmap(nullptr, sizeof(shm_lock), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        lock = p == MAP_FAILED ? nullptr : static_cast<shm_lock*>(p);
        if (lock != nullptr && shmi_lock_init(lock) != 0) {
            munmap(lock, sizeof(shm_lock));
            lock = nullptr;
        }
    }
    ~SharedLock() {
        if (lock != nullptr) munmap(lock, sizeof(shm_lock));
    }
    shm_lock* lock;
};

// A thread that watches `l` once and says when the watch ended.
struct Watcher {
    explicit Watcher(shm_lock* l)
        : thread([this, l] {
              shmi_lock_wait_change(l, kBackstopUs);
              done = true;
          }) {}
    ~Watcher() { thread.join(); }
    bool ends_within(std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST(LockWatch, FreeLockEndsAtOnceAndHeldLockHoldsTheWatcher) {
    SharedLock s;
    ASSERT_NE(s.lock, nullptr);
    {
        Watcher w(s.lock);
        EXPECT_TRUE(w.ends_within(5s)) << "a free lock is nothing to wait for";
    }
    ASSERT_EQ(pthread_mutex_lock(&s.lock->mutex), 0);
    {
        Watcher w(s.lock);
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(w.done) << "the watch ended while the lock was still held";
        ASSERT_EQ(pthread_mutex_unlock(&s.lock->mutex), 0);
        EXPECT_TRUE(w.ends_within(5s)) << "the release did not wake the watcher";
    }
    // The watcher never took the lock: it is free for anybody now.
    ASSERT_EQ(pthread_mutex_trylock(&s.lock->mutex), 0);
    pthread_mutex_unlock(&s.lock->mutex);
}

TEST(LockWatch, WakeWatchersEndsTheWatchWithTheLockStillHeld) {
    SharedLock s;
    ASSERT_NE(s.lock, nullptr);
    ASSERT_EQ(pthread_mutex_lock(&s.lock->mutex), 0);
    {
        Watcher w(s.lock);
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(w.done);
        // As a stop does: a wake may come before the watcher sleeps, so wake
        // until it is out.
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (!w.done && std::chrono::steady_clock::now() < end) {
            shmi_lock_wake_watchers(s.lock);
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(w.done) << "waking the lock's watchers did not end the watch";
    }
    EXPECT_EQ(shmi_lock_owner(s.lock), static_cast<int>(gettid())) << "the wake must not touch the holder";
    pthread_mutex_unlock(&s.lock->mutex);
}

TEST(LockWatch, HolderKilledEndsTheWatchAndLeavesTheLockOwnerDead) {
    SharedLock s;
    ASSERT_NE(s.lock, nullptr);
    const pid_t child = fork_holder([&] { pthread_mutex_lock(&s.lock->mutex); });
    ASSERT_GT(child, 0);
    {
        Watcher w(s.lock);
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(w.done);
        kill_and_reap(child);
        EXPECT_TRUE(w.ends_within(5s)) << "the holder's death did not wake the watcher";
    }
    EXPECT_TRUE(shmi_lock_owner_died(s.lock));
    ASSERT_EQ(pthread_mutex_trylock(&s.lock->mutex), EOWNERDEAD);
    pthread_mutex_consistent(&s.lock->mutex);
    pthread_mutex_unlock(&s.lock->mutex);
}

}  // namespace
