// Control block and ring algorithms: hand-written sequences on small rings,
// the size limits, and recovery from a holder killed inside a ring lock.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shm_internal.h"
#include "shared_block.h"

namespace {

using namespace shmtest;

class Ring8 : public Cap8Ring {
protected:
    ssize_t write(const char* s, size_t n) { return shmi_rb_write(block.mb(), block.size, 0, s, n); }
    ssize_t read(char* d, size_t n) { return shmi_rb_read(block.mb(), block.size, 0, d, n); }
    std::string area() const { return std::string(reinterpret_cast<const char*>(block.bytes() + 496), 8); }
};

TEST(Layout, ObjectGeometry) {
    EXPECT_EQ(shmi_ring_capacity(33554432), 16776968u);
    EXPECT_EQ(496u + shmi_ring_capacity(33554432), 16777464u);
    EXPECT_EQ(shmi_ring_capacity(262144), 130824u);
    EXPECT_EQ(496u + shmi_ring_capacity(262144), 131320u);
}

TEST(Layout, BindWritesMagicFlagsAndRingOffsets) {
    SharedBlock block(262144);
    ASSERT_EQ(shmi_mb_bind(block.mb(), 262144), 0);
    const uint8_t* b = block.bytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 4), 4), "orva");
    uint32_t flags;
    std::memcpy(&flags, b + 0, 4);
    EXPECT_EQ(flags, 1u);
    uint64_t v;
    std::memcpy(&v, b + 8, 8);
    EXPECT_EQ(v, 262144u);  // size
    std::memcpy(&v, b + 112 + 0, 8);
    EXPECT_EQ(v, 496u);  // ring 0 pbuf
    std::memcpy(&v, b + 112 + 24, 8);
    EXPECT_EQ(v, 130824u);  // ring 0 end
    std::memcpy(&v, b + 304 + 0, 8);
    EXPECT_EQ(v, 131320u);  // ring 1 pbuf
    std::memcpy(&v, b + 304 + 24, 8);
    EXPECT_EQ(v, 130824u);  // ring 1 end
    // A second bind on a bound block is refused.
    EXPECT_EQ(shmi_mb_bind(block.mb(), 262144), -EBUSY);
    shmi_mb_unbind(block.mb());
    std::memcpy(&flags, b + 0, 4);
    EXPECT_EQ(flags & 1u, 0u);
}

TEST(Layout, SmallestObjectHasOneByteRings) {
    SharedBlock block(498);
    ASSERT_EQ(shmi_mb_bind(block.mb(), 498), 0);
    EXPECT_EQ(block.mb()->rb[0].end, 1u);
    EXPECT_EQ(block.mb()->rb[1].pbuf, 497u);
    char c = 'x', d = 0;
    EXPECT_EQ(shmi_rb_write(block.mb(), 498, 1, &c, 5), 1);
    EXPECT_EQ(shmi_rb_write(block.mb(), 498, 1, &c, 1), -ENOSPC);
    EXPECT_EQ(shmi_rb_read(block.mb(), 498, 1, &d, 5), 1);
    EXPECT_EQ(d, 'x');
    shmi_mb_unbind(block.mb());
}

TEST(Layout, MapRefusesObjectsBelow498Bytes) {
    shm_membuf* mb = nullptr;
    int fd = memfd_create("shm_map_test", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 498), 0);
    EXPECT_EQ(shmi_map(fd, 497, &mb), SHM_ERR_BAD_SIZE);
    EXPECT_EQ(mb, nullptr);
    EXPECT_EQ(shmi_map(-1, 498, &mb), -EINVAL);
    ASSERT_EQ(shmi_map(fd, 498, &mb), 0);
    ASSERT_NE(mb, nullptr);
    munmap(mb, 498);
    close(fd);
}

TEST_F(Ring8, FullRingThenWrapFillsFreeBytesBeforeHead) {
    EXPECT_EQ(write("ABCDEFGH", 8), 8);
    expect_state(0, 0, 8);
    EXPECT_EQ(write("I", 1), -ENOSPC);
    expect_state(0, 0, 8);
    char out[8] = {};
    EXPECT_EQ(read(out, 3), 3);
    EXPECT_EQ(std::string(out, 3), "ABC");
    expect_state(3, 0, 5);
    EXPECT_EQ(write("12345", 5), 3);
    expect_state(3, 3, 8);
    EXPECT_EQ(area(), "123DEFGH");
    EXPECT_EQ(write("45", 2), -ENOSPC);
    // Everything comes back in order, across the end of the area, in one call.
    char all[16] = {};
    EXPECT_EQ(read(all, 16), 8);
    EXPECT_EQ(std::string(all, 8), "DEFGH123");
    expect_state(0, 0, 0);
}

TEST_F(Ring8, WriteStopsAtEndOfAreaAndContinuesAtStart) {
    EXPECT_EQ(write("abcdef", 6), 6);
    expect_state(0, 6, 6);
    char out[8] = {};
    EXPECT_EQ(read(out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "abcd");
    expect_state(4, 6, 2);
    EXPECT_EQ(write("WXYZ", 4), 2);
    expect_state(4, 0, 4);
    EXPECT_EQ(write("YZ", 2), 2);
    expect_state(4, 2, 6);
    EXPECT_EQ(area(), "YZcdefWX");
}

TEST_F(Ring8, ReadOfWrappedDataReturnsAllAndResets) {
    // 5 bytes wrapping past the end: 3 at positions 5..7, 2 at 0..1.
    EXPECT_EQ(write("xxxxx", 5), 5);
    char sink[8];
    EXPECT_EQ(read(sink, 5), 5);  // empty: reset to 0
    expect_state(0, 0, 0);
    EXPECT_EQ(write("....."
                    "abc",
                    8),
              8);
    EXPECT_EQ(read(sink, 5), 5);
    EXPECT_EQ(write("de", 2), 2);
    expect_state(5, 2, 5);
    char out[10] = {};
    EXPECT_EQ(read(out, 10), 5);
    EXPECT_EQ(std::string(out, 5), "abcde");
    expect_state(0, 0, 0);
}

TEST_F(Ring8, EmptyRingAndZeroLengthCallsChangeNothing) {
    char out[4];
    EXPECT_EQ(read(out, 4), -EAGAIN);
    EXPECT_EQ(write("ABCDEFGH", 8), 8);
    // Read literally, a zero-length read of a full ring would mark it empty.
    EXPECT_EQ(read(out, 0), 0);
    expect_state(0, 0, 8);
    EXPECT_EQ(write("Z", 0), 0);
    expect_state(0, 0, 8);
    EXPECT_EQ(shmi_rb_read(block.mb(), block.size, 0, nullptr, 1), -EINVAL);
    EXPECT_EQ(shmi_rb_write(block.mb(), block.size, 2, "x", 1), -EINVAL);
}

TEST_F(Ring8, CorruptIndicesAreRefusedNotCopied) {
    block.mb()->rb[0].head = 7;
    block.mb()->rb[0].tail = 2;
    block.mb()->rb[0].has_data = 100;  // more than the ring holds
    char out[8];
    EXPECT_EQ(read(out, 8), -EIO);
    block.mb()->rb[0].has_data = 3;
    block.mb()->rb[0].end = 1u << 30;  // beyond the mapping
    EXPECT_EQ(write("a", 1), -EIO);
    block.mb()->rb[0].end = 8;
    EXPECT_EQ(read(out, 8), 3);
}

TEST(Layout, ErrorTexts) {
    EXPECT_STREQ(shm_strerror(-37200), "connect error: Shared memory is not ready");
    EXPECT_STREQ(shm_strerror(-37199), "connect error: Bad magic");
    EXPECT_STREQ(shm_strerror(-37198), "connect error: Bad size");
    EXPECT_STREQ(shm_strerror(-37197), "connection rejected by user");
    EXPECT_STREQ(shm_strerror(-37196), "connect error: already connected");
    EXPECT_STREQ(shm_strerror(-28), strerror(28));
    EXPECT_EQ(SHM_ERR_NOT_READY, -37200);
    EXPECT_EQ(SHM_ERR_ALREADY_CONNECTED, -37196);
}

TEST(Connect, RefusalsLeaveTheClaimBitClear) {
    SharedBlock block(kCap8Object);
    shm_membuf* mb = block.mb();
    EXPECT_EQ(shmi_mb_connect(mb, kCap8Object), SHM_ERR_NOT_READY);
    EXPECT_EQ(mb->flags, 0u);
    ASSERT_EQ(shmi_mb_bind(mb, kCap8Object), 0);
    EXPECT_EQ(shmi_mb_connect(mb, kCap8Object + 2), SHM_ERR_BAD_SIZE);
    EXPECT_EQ(mb->flags, 1u);
    mb->magic ^= 1;
    EXPECT_EQ(shmi_mb_connect(mb, kCap8Object), SHM_ERR_BAD_MAGIC);
    EXPECT_EQ(mb->flags, 1u);
    mb->magic ^= 1;
    ASSERT_EQ(shmi_mb_connect(mb, kCap8Object), 0);
    EXPECT_EQ(mb->flags, 3u);
    EXPECT_EQ(shmi_mb_connect(mb, kCap8Object), SHM_ERR_ALREADY_CONNECTED);
    EXPECT_EQ(mb->flags, 3u);
    shmi_mb_disconnect(mb);
    shmi_mb_destroy_client_lock(mb);
    EXPECT_EQ(mb->flags, 1u);
    // A client hang-up the server has not handled yet keeps new clients out.
    mb->flags |= SHM_FLAG_CLI_HUP;
    EXPECT_EQ(shmi_mb_connect(mb, kCap8Object), SHM_ERR_ALREADY_CONNECTED);
    mb->flags &= ~SHM_FLAG_CLI_HUP;
    shmi_mb_unbind(mb);
}

TEST_F(Ring8, WriterKilledInsideRingLockLeavesAWorkingRing) {
    // The writer dies after publishing tail but before has_data.
    shm_ringbuf* rb = &block.mb()->rb[0];
    ASSERT_EQ(write("AB", 2), 2);
    run_and_kill_child([&] {
        pthread_mutex_lock(&rb->lock.mutex);
        std::memcpy(block.bytes() + 496 + 2, "CDE", 3);
        rb->tail = 5;
    });
    char out[8] = {};
    EXPECT_EQ(read(out, 8), 5);
    EXPECT_EQ(std::string(out, 5), "ABCDE");
    expect_state(0, 0, 0);
    // The lock is usable from now on, not "not recoverable".
    EXPECT_EQ(write("FG", 2), 2);
    EXPECT_EQ(read(out, 8), 2);
    EXPECT_EQ(std::string(out, 2), "FG");
}

TEST_F(Ring8, ReaderKilledWhileEmptyingTheRingLeavesItEmpty) {
    shm_ringbuf* rb = &block.mb()->rb[0];
    ASSERT_EQ(write("ABCD", 4), 4);
    run_and_kill_child([&] {
        pthread_mutex_lock(&rb->lock.mutex);
        rb->has_data = 0;  // the first store of an emptying read
    });
    char out[8];
    EXPECT_EQ(read(out, 8), -EAGAIN);
    expect_state(0, 0, 0);
    EXPECT_EQ(write("ABCDEFGH", 8), 8);
    EXPECT_EQ(read(out, 8), 8);
}

TEST_F(Ring8, ReaderKilledAfterAdvancingHeadLosesNothingUnread) {
    shm_ringbuf* rb = &block.mb()->rb[0];
    ASSERT_EQ(write("ABCDEF", 6), 6);
    run_and_kill_child([&] {
        pthread_mutex_lock(&rb->lock.mutex);
        rb->head = 2;  // consumed "AB"; has_data still says 6
    });
    char out[8] = {};
    EXPECT_EQ(read(out, 8), 4);
    EXPECT_EQ(std::string(out, 4), "CDEF");
}

TEST_F(Ring8, WriterKilledAfterFillingKeepsAFullRing) {
    shm_ringbuf* rb = &block.mb()->rb[0];
    ASSERT_EQ(write("ABC", 3), 3);
    run_and_kill_child([&] {
        pthread_mutex_lock(&rb->lock.mutex);
        std::memcpy(block.bytes() + 496 + 3, "DEFGH", 5);
        rb->tail = 0;  // wrapped: full, has_data not yet 8
    });
    char out[8] = {};
    EXPECT_EQ(read(out, 8), 8);
    EXPECT_EQ(std::string(out, 8), "ABCDEFGH");
}

TEST(Event, SignalAfterWaiterKilledMidWaitDoesNotBlock) {
    SharedBlock block(kCap8Object);
    ASSERT_EQ(shmi_mb_bind(block.mb(), kCap8Object), 0);
    shm_event* ev = &block.mb()->rb[0].req;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (;;)
            shmi_event_wait(ev, nullptr);
    }
    for (int i = 0; i < 2000 && !__atomic_load_n(&ev->waiting, __ATOMIC_ACQUIRE); i++)
        usleep(1000);
    ASSERT_EQ(ev->waiting, 1);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    // The dead waiter's mark stays: waits are refused rather than stacked.
    EXPECT_EQ(shmi_event_wait(ev, nullptr), -1);
    // Signals to it return.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(shmi_event_signal(ev), 0);
    shmi_mb_unbind(block.mb());
}

TEST(Event, WaitSkipsWhenDataIsAlreadyThere) {
    SharedBlock block(kCap8Object);
    ASSERT_EQ(shmi_mb_bind(block.mb(), kCap8Object), 0);
    shm_ringbuf* rb = &block.mb()->rb[1];
    ASSERT_EQ(shmi_rb_write(block.mb(), block.size, 1, "x", 1), 1);
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(shmi_event_wait(&rb->req, &rb->has_data), 0);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_LT(t1.tv_sec - t0.tv_sec, 1);  // not the one-second timeout
    EXPECT_EQ(rb->req.waiting, 0);
    char c;
    ASSERT_EQ(shmi_rb_read(block.mb(), block.size, 1, &c, 1), 1);
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(shmi_event_wait(&rb->req, &rb->has_data), ETIMEDOUT);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double s = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_GT(s, 0.9);
    shmi_mb_unbind(block.mb());
}

}  // namespace
