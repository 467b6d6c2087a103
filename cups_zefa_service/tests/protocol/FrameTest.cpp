#include "protocol/PrintProtocolFrame.h"
#include "protocol/Reply.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace czs {
namespace {

using Bytes = std::vector<uint8_t>;

// "ZEFA", type 00 04, length 00 00 00 02, payload "ab", check 00 00, 0A.
const Bytes kFrame15 = {'Z', 'E', 'F', 'A', 0x00, 0x04, 0x00, 0x00, 0x00, 0x02, 'a', 'b', 0x00, 0x00, 0x0A};

int32_t decodeError(const Bytes& b) {
    try {
        PrintProtocolFrame f(b.data(), b.size());
        return 0;
    } catch (const PrintProtocolFrame::PrintProtocolFrameException& e) {
        return e.code();
    }
}

std::string decodeText(const Bytes& b) {
    try {
        PrintProtocolFrame f(b.data(), b.size());
        return "";
    } catch (const PrintProtocolFrame::PrintProtocolFrameException& e) {
        return e.what();
    }
}

TEST(PrintProtocolFrameDecode, FifteenByteFrameDecodesInPlace) {
    PrintProtocolFrame f(kFrame15.data(), kFrame15.size());
    EXPECT_EQ(f.getType(), 4);
    EXPECT_EQ(f.getPayloadLen(), 2u);
    EXPECT_EQ(f.getPayload(), kFrame15.data() + 10);  // no copy
    EXPECT_EQ(f.getCrc(), 0);
    EXPECT_EQ(f.getError(), 0);
}

TEST(PrintProtocolFrameHeader, TheHeaderParserReadsTypeAndLengthAsTheDecoderDoes) {
    PrintProtocolFrame::Header h;
    ASSERT_TRUE(PrintProtocolFrame::parseHeader(kFrame15.data(), h));
    EXPECT_EQ(h.type, 4);
    EXPECT_EQ(h.payloadLen, 2u);
    EXPECT_EQ(h.frameSize(), 15u);
    // Big-endian, all four length bytes: 0x01020304 bytes of payload.
    const Bytes big = {'Z', 'E', 'F', 'A', 0x01, 0x00, 0x01, 0x02, 0x03, 0x04};
    ASSERT_TRUE(PrintProtocolFrame::parseHeader(big.data(), h));
    EXPECT_EQ(h.type, 256);  // reported as it is; judging it is the caller's
    EXPECT_EQ(h.payloadLen, 0x01020304u);
    EXPECT_EQ(h.frameSize(), 0x01020304u + 13u);
    const Bytes notAFrame = {'Z', 'E', 'F', 'B', 0, 4, 0, 0, 0, 2};
    EXPECT_FALSE(PrintProtocolFrame::parseHeader(notAFrame.data(), h));
}

TEST(PrintProtocolFrameHeader, APrefixOfTheMarkerMayStartAFrame) {
    const uint8_t zef[] = {'Z', 'E', 'F'};
    const uint8_t zex[] = {'Z', 'E', 'X'};
    EXPECT_TRUE(PrintProtocolFrame::mayStartFrame(zef, 3));
    EXPECT_FALSE(PrintProtocolFrame::mayStartFrame(zex, 3));
    EXPECT_TRUE(PrintProtocolFrame::mayStartFrame(kFrame15.data(), kFrame15.size()));
    EXPECT_FALSE(PrintProtocolFrame::mayStartFrame(kFrame15.data() + 1, 4));
}

TEST(PrintProtocolFrameDecode, EachCheckGivesItsCodeAndText) {
    // The 15-byte frame with one byte changed; an empty text is not checked.
    struct Case {
        const char* what;
        std::size_t at;
        uint8_t value;
        int code;
        std::string text;
    };
    const Case cases[] = {
        {"length 3", 9, 0x03, 5, "payload len is invalid"},
        {"crc", 13, 0x01, 6, "crc value is invalid"},
        {"crc high byte", 12, 0x80, 6, ""},
        {"type 5", 5, 0x05, 3, "type value is invalid"},
        {"type 0x0104", 4, 0x01, 3, ""},  // > 4 although the low byte is 4
        {"no end of frame", 14, 0x0B, 7, "end of frame is missed"},
        {"SOF", 3, 'B', 2, "SOF value is invalid"},
    };
    for (const Case& c : cases) {
        Bytes b = kFrame15;
        b[c.at] = c.value;
        EXPECT_EQ(decodeError(b), c.code) << c.what;
        if (!c.text.empty()) {
            EXPECT_EQ(decodeText(b), c.text) << c.what;
        }
    }
}

TEST(PrintProtocolFrameDecode, TypesZeroToThreeAreValidFrames) {
    for (uint8_t t = 0; t <= 3; ++t) {
        Bytes b = kFrame15;
        b[5] = t;
        PrintProtocolFrame f(b.data(), b.size());
        EXPECT_EQ(f.getType(), t);
    }
}

TEST(PrintProtocolFrameDecode, CheckOrderDecidesTheCode) {
    // No data at all: code 1, with a text of its own.
    EXPECT_EQ(decodeError({}), 1);
    EXPECT_EQ(decodeText({}), "unknown error");
    try {
        PrintProtocolFrame f(nullptr, 5);
        FAIL() << "null data accepted";
    } catch (const PrintProtocolFrame::PrintProtocolFrameException& e) {
        EXPECT_EQ(e.code(), 1);
    }
    // Shorter than the start marker.
    EXPECT_EQ(decodeError({'Z', 'E', 'F'}), 4);
    EXPECT_EQ(decodeText({'Z'}), "frame size is too small");
    // Four bytes or more not starting with ZEFA: code 2 whatever else is wrong.
    EXPECT_EQ(decodeError({'X', 'E', 'F', 'A'}), 2);
    EXPECT_EQ(decodeError({'z', 'e', 'f', 'a', 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01}), 2);
    // Exactly "ZEFA".
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A'}), 4);
    // End byte before type: bad end and bad type gives 7.
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x00, 0x09, 0x00, 0x00, 0x00, 0x02, 'a', 'b', 0x00, 0x00, 0x0B}), 7);
    // Ends with 0x0A but shorter than 7 bytes.
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x0A}), 4);
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x00, 0x0A}), 4);
    // 7 to 14 bytes with a wrong type: 3, not 4.
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x00, 0x05, 0x0A}), 3);
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 'a', 0x00, 0x00, 0x0A}), 3);
    // 7 to 14 bytes with a good type: too small.
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x00, 0x04, 0x0A}), 4);
    // 13-byte frame, empty payload; 14-byte frame, 1-byte payload: both too small.
    const Bytes frame13 = {'Z', 'E', 'F', 'A', 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(decodeError(frame13), 4);
    EXPECT_EQ(decodeText(frame13), "frame size is too small");
    EXPECT_EQ(decodeError({'Z', 'E', 'F', 'A', 0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 'x', 0x00, 0x00, 0x0A}), 4);
    // Length checked before the check field.
    Bytes both = kFrame15;
    both[9] = 0x07;
    both[12] = 0x01;
    EXPECT_EQ(decodeError(both), 5);
}

TEST(PrintProtocolFrameDecode, TwoFramesBackToBackFailOnLength) {
    Bytes two = kFrame15;
    two.insert(two.end(), kFrame15.begin(), kFrame15.end());
    EXPECT_EQ(decodeError(two), 5);
}

TEST(PrintProtocolFrameBuild, HundredBytePayloadGives113Bytes) {
    Bytes payload(100);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7 + 1);
    PrintProtocolFrame f(4);
    f.resetCrc();
    f.setPayload(payload.data(), static_cast<uint32_t>(payload.size()));
    uint8_t* buf = nullptr;
    uint64_t size = 0;
    f.serialize(buf, size);
    Reply owner = Reply::adopt(buf, size);  // frees on every exit from the test
    ASSERT_EQ(size, 113u);
    ASSERT_NE(buf, nullptr);
    const Bytes head = {'Z', 'E', 'F', 'A', 0x00, 0x04, 0x00, 0x00, 0x00, 0x64};
    EXPECT_EQ(Bytes(buf, buf + 10), head);
    EXPECT_EQ(Bytes(buf + 10, buf + 110), payload);
    EXPECT_EQ(Bytes(buf + 110, buf + 113), (Bytes{0x00, 0x00, 0x0A}));
}

TEST(PrintProtocolFrameBuild, TwoBytePayloadMatchesTheFifteenByteFrame) {
    const uint8_t payload[] = {'a', 'b'};
    PrintProtocolFrame f(4);
    f.resetCrc();
    f.setPayload(payload, 2);
    uint8_t* buf = nullptr;
    uint64_t size = 0;
    f.serialize(buf, size);
    Reply owner = Reply::adopt(buf, size);
    EXPECT_EQ(Bytes(owner.data(), owner.data() + owner.size()), kFrame15);
}

TEST(PrintProtocolFrameBuild, TypeAndLengthAreBigEndian) {
    Bytes payload(0x010203);
    PrintProtocolFrame f(0x0102);
    f.setPayload(payload.data(), static_cast<uint32_t>(payload.size()));
    uint8_t* buf = nullptr;
    uint64_t size = 0;
    f.serialize(buf, size);
    Reply owner = Reply::adopt(buf, size);
    ASSERT_EQ(size, 0x010203u + 13);
    EXPECT_EQ(Bytes(buf + 4, buf + 10), (Bytes{0x01, 0x02, 0x00, 0x01, 0x02, 0x03}));
}

TEST(PrintProtocolFrameBuild, LengthWithoutBytesIsZeroFilled) {
    PrintProtocolFrame f(4);
    f.setPayload(nullptr, 3);
    uint8_t* buf = nullptr;
    uint64_t size = 0;
    f.serialize(buf, size);
    Reply owner = Reply::adopt(buf, size);
    ASSERT_EQ(size, 16u);
    EXPECT_EQ(Bytes(buf + 10, buf + 13), (Bytes{0, 0, 0}));
}

TEST(Reply, OwnershipMovesAndReleases) {
    auto* raw = static_cast<uint8_t*>(std::malloc(4));
    std::memcpy(raw, "ZEFA", 4);
    Reply a = Reply::adopt(raw, 4);
    EXPECT_FALSE(a.empty());
    Reply b = std::move(a);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(b.data(), raw);
    EXPECT_EQ(b.size(), 4u);
    MallocBuffer released = b.releaseBuffer();
    EXPECT_EQ(released.get(), raw);
    EXPECT_TRUE(b.empty());

    Reply c = Reply::adopt(static_cast<uint8_t*>(std::malloc(8)), 8);
    c = Reply::adopt(static_cast<uint8_t*>(std::malloc(2)), 2);  // the first buffer is freed (ASan checks)
    EXPECT_EQ(c.size(), 2u);
    MallocBuffer held = c.releaseBuffer();
    EXPECT_TRUE(c.empty());
    EXPECT_NE(held.get(), nullptr);

    Reply zero = Reply::adopt(static_cast<uint8_t*>(std::malloc(1)), 0);  // freed at once
    EXPECT_TRUE(zero.empty());
    EXPECT_EQ(zero.releaseBuffer(), nullptr);
    EXPECT_TRUE(Reply().empty());
}

// Counts up from a start byte, so any skipped or repeated piece shows.
class CountingProducer : public FrameProducer {
public:
    explicit CountingProducer(uint64_t size) : size_(size) {}
    uint64_t size() const override { return size_; }
    void produce(std::span<uint8_t> out) override {
        for (uint8_t& b : out)
            b = static_cast<uint8_t>(next_++);
    }

private:
    uint64_t size_;
    uint64_t next_ = 0;
};

TEST(Reply, DrainsInArbitraryPiecesInOrder) {
    Bytes image(1000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i);
    auto* raw = static_cast<uint8_t*>(std::malloc(image.size()));
    std::memcpy(raw, image.data(), image.size());

    Reply copied = Reply::adopt(raw, image.size());
    Reply produced = Reply::produced(std::make_unique<CountingProducer>(image.size()));
    EXPECT_EQ(produced.data(), nullptr);
    for (Reply* r : {&copied, &produced}) {
        Bytes out(image.size() + 7, 0xEE);
        std::size_t at = 0;
        for (std::size_t piece : {1u, 0u, 13u, 500u, 486u})
            at += r->take(std::span(out).subspan(at, piece));
        EXPECT_EQ(at, image.size());
        EXPECT_EQ(r->take(std::span(out).subspan(at, 7)), 0u);  // nothing past the end
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(at)), image);
        EXPECT_EQ(out.back(), 0xEE);
        EXPECT_EQ(r->remaining(), 0u);
    }
    EXPECT_TRUE(Reply::produced(std::make_unique<CountingProducer>(0)).empty());
}

}  // namespace
}  // namespace czs
