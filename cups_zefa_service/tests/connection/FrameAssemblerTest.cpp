#include "connection/FrameAssembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FrameBytes.h"

namespace czs {
namespace {

using test::bytes;
using test::cat;
using test::frame;

// The 15-byte example frame: "ZEFA", 00 04, 00 00 00 02, "ok", 00 00, 0A.
const std::vector<uint8_t> kSmallFrame = {'Z',  'E',  'F', 'A', 0x00, 0x04, 0x00, 0x00,
                                          0x00, 0x02, 'o', 'k', 0x00, 0x00, 0x0A};

struct Collected {
    std::vector<RawStreamData> frames;
    std::size_t dropped = 0;
};

std::vector<RawStreamData> drain(FrameAssembler& a) {
    std::vector<RawStreamData> out;
    RawStreamData f;
    while (a.next(f)) {
        out.push_back(f);
    }
    return out;
}

TEST(FrameAssembler, DeliversGluedFramesOneByOneInOrder) {
    FrameAssembler a;
    auto second = frame("second-frame-payload");
    auto both = cat(kSmallFrame, second);
    a.append(both);
    auto out = drain(a);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], kSmallFrame);
    EXPECT_EQ(out[1], second);
    EXPECT_EQ(a.buffered(), 0u);
}

TEST(FrameAssembler, WaitsForTheRestWhenAReadEndsOnA0AInTheHeader) {
    // A payload of 10 bytes puts 0x0A as the last byte of the length field.
    auto f = frame("0123456789");
    ASSERT_EQ(f[9], 0x0A);
    FrameAssembler a;
    a.append(std::span(f).first(10));
    RawStreamData out;
    EXPECT_FALSE(a.next(out));
    a.append(std::span(f).subspan(10));
    ASSERT_TRUE(a.next(out));
    EXPECT_EQ(out, f);
}

TEST(FrameAssembler, ByteByByteFeedingGivesEveryFrameOnceAndKeepsAPartialTail) {
    auto stream = cat(cat(frame("aa"), frame(std::string(300, 'b'))), frame("cc"));
    stream.insert(stream.end(), {'Z', 'E', 'F', 'A', 0, 4});  // the start of a fourth frame
    FrameAssembler a;
    std::vector<RawStreamData> out;
    for (uint8_t b : stream) {
        a.append(std::span(&b, 1));
        for (auto& f : drain(a)) {
            out.push_back(f);
        }
    }
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1], frame(std::string(300, 'b')));
    EXPECT_EQ(a.buffered(), 6u);
}

TEST(FrameAssembler, ResynchronisesAfterGarbageAndReportsWhatWasDropped) {
    std::size_t dropped = 0;
    FrameAssembler a(FrameAssembler::kDefaultMaxFrame, [&](std::size_t n, const char*) { dropped += n; });
    auto stream = cat(bytes("garbage!!"), kSmallFrame);
    a.append(stream);
    auto out = drain(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], kSmallFrame);
    EXPECT_EQ(dropped, 9u);
}

TEST(FrameAssembler, GarbageWithoutMarkerIsDroppedButAPossibleMarkerStartIsKept) {
    std::size_t dropped = 0;
    FrameAssembler a(FrameAssembler::kDefaultMaxFrame, [&](std::size_t n, const char*) { dropped += n; });
    auto junk = bytes("xxxxxxxxxxZEF");
    a.append(junk);
    RawStreamData out;
    EXPECT_FALSE(a.next(out));
    EXPECT_EQ(dropped, 10u);
    EXPECT_EQ(a.buffered(), 3u);
    // The kept "ZEF" plus the rest of the frame makes a whole frame.
    a.append(std::span(kSmallFrame).subspan(3));
    ASSERT_TRUE(a.next(out));
    EXPECT_EQ(out, kSmallFrame);
}

TEST(FrameAssembler, AFalseStartWithAHugeLengthDoesNotBlockTheChannel) {
    std::size_t dropped = 0;
    FrameAssembler a(1024, [&](std::size_t n, const char*) { dropped += n; });
    std::vector<uint8_t> bogus = {'Z', 'E', 'F', 'A', 0, 4, 0x7F, 0xFF, 0xFF, 0xFF};
    auto stream = cat(bogus, kSmallFrame);
    a.append(stream);
    auto out = drain(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], kSmallFrame);
    EXPECT_EQ(dropped, bogus.size());
}

TEST(FrameAssembler, AFrameWhoseEndByteIsWrongIsSkipped) {
    auto bad = frame("abcd");
    bad.back() = 'X';
    FrameAssembler a;
    auto stream = cat(bad, kSmallFrame);
    a.append(stream);
    auto out = drain(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], kSmallFrame);
}

TEST(FrameAssembler, BufferNeverHoldsMoreThanTheBoundPlusOneRead) {
    FrameAssembler a(4096);
    // A header that claims a frame just under the bound, then endless filler.
    std::vector<uint8_t> start = {'Z', 'E', 'F', 'A', 0, 4, 0, 0, 0x0F, 0x00};
    a.append(start);
    std::vector<uint8_t> filler(1000, 'q');
    RawStreamData out;
    for (int i = 0; i < 100; ++i) {
        a.append(filler);
        EXPECT_FALSE(a.next(out));
        EXPECT_LE(a.buffered(), 4096u + filler.size());
    }
}

TEST(FrameAssembler, AFalseStartIsDroppedAtOnceWhenItsHeaderCannotBeTrue) {
    // A type above 4, or a line end inside a message payload, shows the
    // header is garbage without waiting for the length it announces.
    std::vector<std::size_t> drops;
    FrameAssembler a(FrameAssembler::kDefaultMaxFrame, [&](std::size_t n, const char*) { drops.push_back(n); });
    std::vector<uint8_t> badType = {'Z', 'E', 'F', 'A', 0x12, 0x34, 0x00, 0x10, 0x00, 0x00};
    std::vector<uint8_t> lyingLength = {'Z', 'E', 'F', 'A', 0x00, 0x04, 0x00, 0x10, 0x00, 0x00, 'a', 'b', 0x0A};
    auto stream = cat(cat(badType, lyingLength), kSmallFrame);
    a.append(stream);
    auto out = drain(a);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], kSmallFrame);
    std::size_t total = 0;
    for (auto n : drops) {
        total += n;
    }
    EXPECT_EQ(total, badType.size() + lyingLength.size());
}

TEST(FrameAssembler, ShortButCompleteFramesAreStillDeliveredForTheDecoderToJudge) {
    // A 13-byte frame with an empty payload is complete by its length; the
    // converter rejects it, the assembler only cuts.
    auto empty = frame("");
    FrameAssembler a;
    auto stream = cat(empty, kSmallFrame);
    a.append(stream);
    auto out = drain(a);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].size(), 13u);
}

}  // namespace
}  // namespace czs
