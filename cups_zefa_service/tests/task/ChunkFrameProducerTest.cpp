// The chunk response written by the producer must be byte for byte the frame
// the copying path builds: the whole message serialised by the JSON library,
// base64-encoded, then framed. Sizes cover every position of the encoders'
// groups and blocks; the transport drains in pieces of random sizes.
#include "task/ChunkFrameProducer.h"

#include <gtest/gtest.h>

#include <random>

#include "protocol/Base64.h"
#include "protocol/PrintProtocolFrame.h"
#include "protocol/PrintProtocolJsonMsg.h"

namespace czs {
namespace {

// The copying path: the complete message through the library, then the frame codec.
std::vector<uint8_t> copyingFrame(const std::string& id, int32_t offset, const std::vector<uint8_t>& bytes) {
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
    msg.setField("data", nlohmann::json{{"chunk", base64::encode(bytes)},
                                        {"id", id},
                                        {"offset", offset},
                                        {"size", static_cast<int32_t>(bytes.size())}});
    const std::vector<uint8_t> payload = msg.serialize();
    PrintProtocolFrame frame(PrintProtocolFrame::kTypeJsonMessage);
    frame.resetCrc();
    frame.setPayload(payload.data(), static_cast<uint32_t>(payload.size()));
    uint8_t* buffer = nullptr;
    uint64_t size = 0;
    frame.serialize(buffer, size);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

// Drains the reply in pieces of 1 to maxPiece bytes.
std::vector<uint8_t> drain(Reply& reply, std::mt19937& rng, std::size_t maxPiece) {
    std::vector<uint8_t> out(static_cast<std::size_t>(reply.size()));
    std::uniform_int_distribution<std::size_t> piece(1, maxPiece);
    std::size_t at = 0;
    while (reply.remaining() != 0) {
        const std::size_t want = std::min<std::size_t>(piece(rng), out.size() - at);
        const std::size_t got = reply.take(std::span(out).subspan(at, want));
        EXPECT_EQ(got, want);
        if (got == 0) break;
        at += got;
    }
    EXPECT_EQ(at, out.size());
    return out;
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, std::size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

Reply produced(const std::string& id, int32_t offset, std::vector<uint8_t> bytes, std::size_t stage) {
    auto producer = ChunkFrameProducer::forResponse(id, offset, std::move(bytes), nullptr, stage);
    EXPECT_NE(producer, nullptr);
    return Reply::produced(std::move(producer));
}

TEST(ChunkFrameProducer, EverySizeUpToThreeStagesMatchesTheCopyingPath) {
    // A small stage (48 file bytes per block) puts every group and block
    // boundary within reach of a sweep over all sizes.
    constexpr std::size_t kStage = 64;
    constexpr std::size_t kBlockBytes = kStage / 4 * 3;
    std::mt19937 rng(1);
    const std::vector<uint8_t> content = randomBytes(rng, 3 * kBlockBytes + 8);
    for (std::size_t n = 0; n <= 3 * kBlockBytes + 8; ++n) {
        const std::vector<uint8_t> bytes(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(n));
        for (const std::string id : {"f", "ab", "abc", "we\"ird\\id"}) {
            Reply reply = produced(id, static_cast<int32_t>(n * 7), bytes, kStage);
            const std::vector<uint8_t> golden = copyingFrame(id, static_cast<int32_t>(n * 7), bytes);
            ASSERT_EQ(reply.size(), golden.size()) << "size " << n << " id " << id;
            ASSERT_EQ(drain(reply, rng, 1 + n % 9), golden) << "size " << n << " id " << id;
        }
    }
}

TEST(ChunkFrameProducer, DaemonStageAroundItsBlockBoundariesAndLargeRandomSizes) {
    constexpr std::size_t kBlockBytes = ChunkFrameProducer::kStage / 4 * 3;
    std::mt19937 rng(2);
    std::vector<std::size_t> sizes;
    for (std::size_t k = 0; k <= 3; ++k) {
        for (int d = -3; d <= 3; ++d) {
            const long n = static_cast<long>(k * kBlockBytes) + d;
            if (n >= 0) sizes.push_back(static_cast<std::size_t>(n));
        }
    }
    std::uniform_int_distribution<std::size_t> large(200000, 3 * 1024 * 1024);
    for (int i = 0; i < 6; ++i)
        sizes.push_back(large(rng));
    for (const std::size_t n : sizes) {
        const std::vector<uint8_t> bytes = randomBytes(rng, n);
        const std::vector<uint8_t> golden = copyingFrame("0f1e2d3c-4b5a-4697-8877-665544332211", 1 << 20, bytes);
        for (const std::size_t maxPiece : {std::size_t{1} << 20, std::size_t{4093}, std::size_t{7}}) {
            if (maxPiece == 7 && n > 300000) continue;  // byte-sized pieces only where it stays quick
            Reply reply = produced("0f1e2d3c-4b5a-4697-8877-665544332211", 1 << 20, bytes, ChunkFrameProducer::kStage);
            ASSERT_EQ(reply.size(), golden.size()) << n;
            ASSERT_EQ(drain(reply, rng, maxPiece), golden) << "size " << n << " pieces up to " << maxPiece;
        }
    }
}

TEST(ChunkFrameProducer, PayloadBeyondTheLengthFieldIsRefused) {
    EXPECT_EQ(ChunkFrameProducer::frameSizeFor(100), base64::encodedSize(100) + 13);
    EXPECT_EQ(ChunkFrameProducer::frameSizeFor(uint64_t{4} * 1024 * 1024 * 1024), 0u);
}

TEST(ChunkFrameProducer, TheBufferGoesBackToThePoolForTheNextChunk) {
    auto pool = std::make_shared<ChunkBufferPool>();
    std::vector<uint8_t> bytes(1000, 7);
    const uint8_t* storage = bytes.data();
    {
        Reply reply = Reply::produced(ChunkFrameProducer::forResponse("x", 0, std::move(bytes), pool));
        ASSERT_FALSE(reply.empty());
    }
    const std::vector<uint8_t> again = pool->take();
    EXPECT_EQ(again.data(), storage);  // the very same memory, not a copy
    EXPECT_TRUE(pool->take().empty());
}

}  // namespace
}  // namespace czs
