// The table and AVX2 encoders, each pinned in turn, against a bit-by-bit
// reference and against each other. Inputs live in heap buffers of exactly
// their own size, so the sanitizer builds catch any load past the end.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "protocol/Base64.h"
#include "protocol/Base64Kernels.h"

namespace czs {
namespace {

using base64::detail::Encoder;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One bit at a time: slow, obviously right, and shares nothing with the codec.
std::string referenceEncode(const std::vector<uint8_t>& in) {
    std::string out;
    unsigned bits = 0, value = 0;
    for (uint8_t b : in) {
        for (int i = 7; i >= 0; --i) {
            value = (value << 1) | ((b >> i) & 1u);
            if (++bits == 6) {
                out += kAlphabet[value];
                bits = value = 0;
            }
        }
    }
    if (bits != 0) out += kAlphabet[value << (6 - bits)];
    while (out.size() % 4 != 0) out += '=';
    return out;
}

// Bytes whose encoding is the given sequence of 6-bit indices (count a multiple of 4).
std::vector<uint8_t> packSextets(const std::vector<unsigned>& idx) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 3 < idx.size(); i += 4) {
        const unsigned v = idx[i] << 18 | idx[i + 1] << 12 | idx[i + 2] << 6 | idx[i + 3];
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Encodes from a heap copy of exactly n bytes into exactly encodedSize(n) characters.
std::string encodeExact(const std::vector<uint8_t>& in) {
    const std::unique_ptr<uint8_t[]> src(new uint8_t[in.size()]);
    std::copy(in.begin(), in.end(), src.get());
    const size_t outSize = base64::encodedSize(in.size());
    const std::unique_ptr<char[]> dst(new char[outSize]);
    base64::encode(src.get(), in.size(), dst.get());
    return std::string(dst.get(), outSize);
}

class EncoderPath : public testing::TestWithParam<Encoder> {
protected:
    void SetUp() override {
        if (!base64::detail::supported(GetParam())) GTEST_SKIP() << "this CPU lacks AVX2";
        saved_ = base64::detail::activeEncoder();
        ASSERT_TRUE(base64::detail::useEncoder(GetParam()));
        ASSERT_EQ(base64::detail::activeEncoder(), GetParam());
    }
    void TearDown() override { base64::detail::useEncoder(saved_); }

private:
    Encoder saved_ = Encoder::Scalar;
};

TEST_P(EncoderPath, KnownVectors) {
    // RFC 4648, section 10.
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, text] : vectors) EXPECT_EQ(encodeExact({plain.begin(), plain.end()}), text);

    // Long enough for the vector loop, covering every byte value.
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(encodeExact(all),
              "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZH"
              "SElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6P"
              "kJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX"
              "2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==");

    // Every index at every position of a 32-character vector step: the
    // alphabet, repeated and rotated by each of 0..63.
    for (unsigned shift = 0; shift < 64; ++shift) {
        std::vector<unsigned> idx;
        std::string expected;
        for (unsigned i = 0; i < 4 * 64; ++i) {
            idx.push_back((i + shift) % 64);
            expected += kAlphabet[(i + shift) % 64];
        }
        EXPECT_EQ(encodeExact(packSextets(idx)), expected) << "shift " << shift;
    }
}

TEST_P(EncoderPath, EveryLengthAndAlignmentMatchesTheReference) {
    std::mt19937 rng(20240601);
    for (size_t n = 0; n <= 200; ++n) {
        const auto in = randomBytes(rng, n);
        EXPECT_EQ(encodeExact(in), referenceEncode(in)) << "length " << n;
    }
    // Start addresses at every offset within a vector, and the output too.
    const auto big = randomBytes(rng, 300);
    for (size_t off = 0; off < 32; ++off) {
        const std::vector<uint8_t> in(big.begin() + static_cast<std::ptrdiff_t>(off), big.end());
        std::string out(base64::encodedSize(in.size()) + off, '#');
        base64::encode(big.data() + off, in.size(), out.data() + off);
        EXPECT_EQ(out.substr(0, off), std::string(off, '#'));
        EXPECT_EQ(out.substr(off), referenceEncode(in)) << "offset " << off;
    }
}

TEST_P(EncoderPath, LargeBuffersMatchTheTableEncoder) {
    std::mt19937 rng(7);
    for (size_t n : {size_t{1} << 20, (size_t{1} << 20) + 1, (size_t{1} << 20) + 2, (size_t{1} << 20) + 3,
                     (size_t{1} << 20) + 27, (size_t{1} << 20) + 28, (size_t{1} << 20) + 51}) {
        const auto in = randomBytes(rng, n);
        std::string scalar(base64::encodedSize(n), '\0');
        base64::detail::encodeScalar(in.data(), n, scalar.data());
        EXPECT_EQ(encodeExact(in), scalar) << "length " << n;
    }
    // Runs of one value find lane mix-ups that random data averages out.
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0xFB}, uint8_t{0x3E}}) {
        const std::vector<uint8_t> in(1000, v);
        EXPECT_EQ(encodeExact(in), referenceEncode(in)) << int{v};
    }
}

TEST_P(EncoderPath, StreamEncoderAgreesAcrossRandomSplits) {
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        const size_t n = rng() % (round < 200 ? 200 : 20000);
        const auto in = randomBytes(rng, n);
        const std::string whole = referenceEncode(in);
        std::string streamed(whole.size(), '?');
        base64::StreamEncoder enc(streamed.data());
        size_t at = 0;
        while (at < n) {
            // Mostly short pieces that leave carries, sometimes long ones that reach the vector loop.
            const size_t piece = std::min(n - at, rng() % 4 == 0 ? size_t{rng() % 3000} : size_t{rng() % 5});
            enc.update(in.data() + at, piece);
            at += piece;
        }
        EXPECT_EQ(enc.finish(), whole.size());
        EXPECT_EQ(streamed, whole) << "round " << round << " length " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Base64, EncoderPath, testing::Values(Encoder::Scalar, Encoder::Avx2),
                         [](const testing::TestParamInfo<Encoder>& info) {
                             return info.param == Encoder::Scalar ? "Table" : "Avx2";
                         });

TEST(Base64Dispatch, PicksTheVectorEncoderWhereTheCpuHasIt) {
    // The choice made on first use, before any test pins one.
    EXPECT_TRUE(base64::detail::supported(Encoder::Scalar));
    const Encoder expected = base64::detail::supported(Encoder::Avx2) ? Encoder::Avx2 : Encoder::Scalar;
    EXPECT_EQ(base64::detail::activeEncoder(), expected);
    if (!base64::detail::supported(Encoder::Avx2)) {
        EXPECT_FALSE(base64::detail::useEncoder(Encoder::Avx2));
        EXPECT_EQ(base64::detail::activeEncoder(), Encoder::Scalar);
    }
}

}  // namespace
}  // namespace czs
