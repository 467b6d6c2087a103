// In-place ring calls (reserve/commit, peek/consume) on tiny rings, mixed
// with the copying calls a peer uses: indices must be exactly those the
// copying algorithm gives, uncommitted bytes never visible, and a writer
// killed between reserve and commit must leave a usable ring.
#include <gtest/gtest.h>

#include <cerrno>
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

class InPlace8 : public Cap8Ring {
protected:
    uint8_t* area() { return reinterpret_cast<uint8_t*>(block.p) + 496; }

    ssize_t write(const std::string& s) { return shmi_rb_write(mb(), block.size, 0, s.data(), s.size()); }
    std::string read(size_t n) {
        std::string out(n, '\0');
        ssize_t r = shmi_rb_read(mb(), block.size, 0, out.data(), n);
        return r < 0 ? "<" + std::to_string(r) + ">" : out.substr(0, static_cast<size_t>(r));
    }
    // Reserves, fills the spans from `s` and commits `commit` bytes.
    ssize_t put(const std::string& s, size_t commit) {
        shm_span sp[2];
        uint64_t at = 0;
        ssize_t r = shmi_rb_reserve(mb(), block.size, 0, s.size(), sp, &at);
        if (r <= 0) return r;
        size_t off = 0;
        for (auto& span : sp) {
            size_t n = std::min(span.len, s.size() - off);
            std::memcpy(span.data, s.data() + off, n);
            off += n;
        }
        // Never more than was reserved (refusing that is tested on its own).
        commit = std::min(commit, static_cast<size_t>(r));
        int c = shmi_rb_commit(mb(), block.size, 0, at, static_cast<size_t>(r), commit);
        return c < 0 ? c : r;
    }
    std::string peek_all() {
        shm_span sp[2];
        ssize_t r = shmi_rb_peek(mb(), block.size, 0, sp);
        if (r < 0) return "<" + std::to_string(r) + ">";
        std::string s(reinterpret_cast<char*>(sp[0].data), sp[0].len);
        if (sp[1].len) s.append(reinterpret_cast<char*>(sp[1].data), sp[1].len);
        EXPECT_EQ(s.size(), static_cast<size_t>(r));
        return s;
    }
};

TEST_F(InPlace8, ReserveAcrossTheWrapGivesTwoSpansAndIndicesOfTwoCopyingWrites) {
    ASSERT_EQ(write("ABCDEF"), 6);
    EXPECT_EQ(read(4), "ABCD");  // head 4, tail 6
    shm_span sp[2];
    uint64_t at = 99;
    ASSERT_EQ(shmi_rb_reserve(mb(), block.size, 0, 5, sp, &at), 5);
    EXPECT_EQ(at, 6u);
    EXPECT_EQ(sp[0].data, area() + 6);
    EXPECT_EQ(sp[0].len, 2u);
    EXPECT_EQ(sp[1].data, area());
    EXPECT_EQ(sp[1].len, 3u);
    std::memcpy(sp[0].data, "gh", 2);
    std::memcpy(sp[1].data, "ijk", 3);
    // Nothing is visible before the commit.
    expect_state(4, 6, 2);
    EXPECT_EQ(peek_all(), "EF");
    ASSERT_EQ(shmi_rb_commit(mb(), block.size, 0, at, 5, 5), 0);
    // Same words as "write 2 (stops at the end), write 3 (from 0)".
    expect_state(4, 3, 7);
    EXPECT_EQ(read(8), "EFghijk");
    expect_state(0, 0, 0);
}

TEST_F(InPlace8, CopyingWriterAndInPlaceReaderAcrossTheWrap) {
    ASSERT_EQ(write("ABCDEF"), 6);
    EXPECT_EQ(read(5), "ABCDE");
    ASSERT_EQ(write("GH"), 2);  // to the end
    ASSERT_EQ(write("IJ"), 2);  // from 0
    expect_state(5, 2, 5);
    shm_span sp[2];
    ASSERT_EQ(shmi_rb_peek(mb(), block.size, 0, sp), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sp[0].data), sp[0].len), "FGH");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sp[1].data), sp[1].len), "IJ");
    ASSERT_EQ(shmi_rb_consume(mb(), block.size, 0, 4), 0);
    expect_state(1, 2, 1);  // head wrapped exactly as a copying read of 4 leaves it
    ASSERT_EQ(shmi_rb_consume(mb(), block.size, 0, 1), 0);
    expect_state(0, 0, 0);  // emptied: reset as the copying read does
}

TEST_F(InPlace8, CommitOfZeroAndOfLessThanReserved) {
    EXPECT_EQ(put("ABCDE", 0), 5);
    expect_state(0, 0, 0);
    EXPECT_EQ(read(8), "<-11>");
    EXPECT_EQ(put("ABCDE", 3), 5);
    expect_state(0, 3, 3);
    EXPECT_EQ(read(8), "ABC");
    // More than was reserved is refused and publishes nothing.
    shm_span sp[2];
    uint64_t at = 0;
    ASSERT_EQ(shmi_rb_reserve(mb(), block.size, 0, 2, sp, &at), 2);
    EXPECT_EQ(shmi_rb_commit(mb(), block.size, 0, at, 2, 3), -EINVAL);
    expect_state(0, 0, 0);
}

TEST_F(InPlace8, ReserveLargerThanTheRingGetsTheFreeSpaceOnly) {
    shm_span sp[2];
    uint64_t at = 0;
    EXPECT_EQ(shmi_rb_reserve(mb(), block.size, 0, 1000, sp, &at), 8);
    EXPECT_EQ(sp[0].len + sp[1].len, 8u);
    ASSERT_EQ(write("ABC"), 3);
    EXPECT_EQ(shmi_rb_reserve(mb(), block.size, 0, 1000, sp, &at), 5);
    EXPECT_EQ(put("DEFGH", 5), 5);
    EXPECT_EQ(shmi_rb_reserve(mb(), block.size, 0, 1, sp, &at), -ENOSPC);
    EXPECT_EQ(write("X"), -ENOSPC);
    EXPECT_EQ(read(8), "ABCDEFGH");
}

TEST_F(InPlace8, ReaderEmptyingTheRingDuringAReservationLosesNothing) {
    ASSERT_EQ(write("ABCDE"), 5);
    shm_span sp[2];
    uint64_t at = 0;
    ASSERT_EQ(shmi_rb_reserve(mb(), block.size, 0, 3, sp, &at), 3);
    EXPECT_EQ(at, 5u);
    std::memcpy(sp[0].data, "xyz", 3);
    // The reader empties the ring meanwhile and moves head and tail to 0.
    EXPECT_EQ(read(8), "ABCDE");
    expect_state(0, 0, 0);
    ASSERT_EQ(shmi_rb_commit(mb(), block.size, 0, at, 3, 3), 0);
    expect_state(5, 0, 3);
    // A copying peer reads the committed bytes in order.
    EXPECT_EQ(read(8), "xyz");
    EXPECT_EQ(write("12345678"), 8);
    EXPECT_EQ(read(8), "12345678");
}

TEST_F(InPlace8, InterleavedInPlaceAndCopyingCallsKeepTheStreamInOrder) {
    // A deterministic mix of both styles on both sides, many times round the
    // 8-byte ring: the stream read must equal the stream written.
    std::string sent, got;
    unsigned seed = 7;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int i = 0; i < 4000; i++) {
        size_t n = 1 + (next() >> 8) % 8;
        std::string s;
        for (size_t k = 0; k < n; k++)
            s.push_back(static_cast<char>('a' + (sent.size() + k) % 26));
        ssize_t w;
        if ((next() >> 8) % 2) {
            w = write(s);
        } else {
            size_t commit = (next() >> 8) % (n + 1);
            w = put(s, commit);
            if (w > 0) w = static_cast<ssize_t>(std::min<size_t>(commit, static_cast<size_t>(w)));
        }
        if (w > 0) {
            sent.append(s, 0, static_cast<size_t>(w));
        } else if (w < 0) {
            ASSERT_EQ(w, -ENOSPC);
        }
        if ((next() >> 8) % 2) {
            std::string r = read(1 + (next() >> 8) % 8);
            if (r != "<-11>") got += r;
        } else {
            std::string p = peek_all();
            size_t take = p.empty() ? 0 : (next() >> 8) % (p.size() + 1);
            if (!p.empty()) {
                ASSERT_EQ(shmi_rb_consume(mb(), block.size, 0, take), 0);
            }
            got += p.substr(0, take);
        }
        ASSERT_EQ(got, sent.substr(0, got.size()));
    }
    got += peek_all();
    EXPECT_EQ(got, sent);
}

TEST_F(InPlace8, ConsumeOfMoreThanIsUnreadIsRefused) {
    ASSERT_EQ(write("AB"), 2);
    EXPECT_EQ(shmi_rb_consume(mb(), block.size, 0, 3), -EINVAL);
    expect_state(0, 2, 2);
}

TEST_F(InPlace8, WriterKilledBetweenReserveAndCommitPublishesNothing) {
    ASSERT_EQ(write("AB"), 2);
    run_and_kill_child([&] {
        shm_span sp[2];
        uint64_t at = 0;
        if (shmi_rb_reserve(mb(), block.size, 0, 6, sp, &at) != 6) _exit(2);
        std::memset(sp[0].data, '!', sp[0].len);
    });
    expect_state(0, 2, 2);
    EXPECT_EQ(read(8), "AB");  // never the reserved bytes
    EXPECT_EQ(put("CDEFGHIJ", 8), 8);
    EXPECT_EQ(read(8), "CDEFGHIJ");
}

TEST_F(InPlace8, CorruptIndicesMeanABrokenPeerForEveryCall) {
    ASSERT_EQ(write("AB"), 2);
    block.mb()->rb[0].has_data = 5;  // disagrees with head/tail
    shm_span sp[2];
    uint64_t at = 0;
    EXPECT_EQ(shmi_rb_reserve(mb(), block.size, 0, 1, sp, &at), -EIO);
    EXPECT_EQ(shmi_rb_peek(mb(), block.size, 0, sp), -EIO);
    EXPECT_EQ(shmi_rb_consume(mb(), block.size, 0, 1), -EIO);
    block.mb()->rb[0].has_data = 2;
    block.mb()->rb[0].end = 1u << 30;  // beyond the mapping
    EXPECT_EQ(shmi_rb_peek(mb(), block.size, 0, sp), -EIO);
    EXPECT_EQ(read(1), "<-5>");
    block.mb()->rb[0].end = 8;
}

TEST(LockDeadline, RingLockHeldByALiveProcessTimesOut) {
    SharedBlock block(kCap8Object);
    ASSERT_EQ(shmi_mb_bind(block.mb(), kCap8Object), 0);
    uint64_t saved = shmi_lock_deadline_us;
    shmi_lock_deadline_us = 200000;
    pid_t pid = fork_holder([&] { pthread_mutex_lock(&block.mb()->rb[0].lock.mutex); });
    ASSERT_GT(pid, 0);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    EXPECT_EQ(shmi_rb_write(block.mb(), block.size, 0, "A", 1), -ETIMEDOUT);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double s = static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
    EXPECT_GE(s, 0.19);
    EXPECT_LT(s, 5.0);
    kill_and_reap(pid);
    // Its death frees the lock for the next holder.
    EXPECT_EQ(shmi_rb_write(block.mb(), block.size, 0, "A", 1), 1);
    shmi_lock_deadline_us = saved;
    shmi_mb_unbind(block.mb());
}

}  // namespace
