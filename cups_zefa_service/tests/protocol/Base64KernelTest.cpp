// The table and AVX2 kernels, each pinned in turn: the encoders against a
// bit-by-bit reference, the lenient decoders against a reference written
// from the decoder's documented rules. Inputs live in heap buffers of exactly
// their own size, so the sanitizer builds catch any load past the end.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "protocol/Base64.h"
#include "protocol/Base64Kernels.h"

#include "support/Rfc4648Vectors.h"

namespace czs::base64::detail {
// Names the parameter in failure messages.
const char* nameOf(Kernel k) {
    return k == Kernel::Scalar ? "Table" : k == Kernel::Avx2 ? "Avx2" : "Avx512Vbmi";
}
void PrintTo(Kernel k, std::ostream* os) {
    *os << nameOf(k);
}
}  // namespace czs::base64::detail

namespace czs {
namespace {

using base64::detail::Kernel;

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
    while (out.size() % 4 != 0)
        out += '=';
    return out;
}

// The lenient rules one character at a time: "=" is 0, characters outside
// the alphabet 64, the four values added and the low 24 bits kept; the
// length drops by one for a final "=" and by one more for a "=" before it.
std::vector<uint8_t> referenceDecode(const std::string& text) {
    auto value = [](unsigned char c) -> uint32_t {
        if (c == '=') return 0;
        for (uint32_t i = 0; i < 64; ++i)
            if (static_cast<unsigned char>(kAlphabet[i]) == c) return i;
        return 64;
    };
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 3 < text.size(); i += 4) {
        const uint32_t v =
            (value(text[i]) << 18) + (value(text[i + 1]) << 12) + (value(text[i + 2]) << 6) + value(text[i + 3]);
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
    if (!text.empty() && text.back() == '=') out.pop_back();
    if (text.size() >= 2 && text[text.size() - 2] == '=') out.pop_back();
    return out;
}

// Decodes from a heap copy of exactly the text's size.
std::vector<uint8_t> decodeExact(const std::string& text) {
    const std::unique_ptr<char[]> src(new char[text.size()]);
    std::copy(text.begin(), text.end(), src.get());
    std::vector<uint8_t> out;
    EXPECT_TRUE(base64::decode(std::string_view(src.get(), text.size()), out));
    return out;
}

std::string repeat(const std::string& s, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += s;
    return out;
}

std::vector<uint8_t> repeat(const std::vector<uint8_t>& s, size_t times) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), s.begin(), s.end());
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
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// Encodes from a heap copy of exactly n bytes into exactly encodedSize(n) characters.
std::string encodeExact(const std::vector<uint8_t>& in) {
    const std::unique_ptr<uint8_t[]> src(new uint8_t[in.size()]);
    std::copy(in.begin(), in.end(), src.get());
    const size_t outSize = base64::encodedSize(in.size());
    const std::unique_ptr<char[]> dst(new char[outSize]);
    base64::encode(std::span(src.get(), in.size()), std::span(dst.get(), outSize));
    return std::string(dst.get(), outSize);
}

class KernelPath : public testing::TestWithParam<Kernel> {
protected:
    void SetUp() override {
        if (!base64::detail::supported(GetParam())) GTEST_SKIP() << "this CPU cannot run " << nameOf(GetParam());
        saved_ = base64::detail::activeKernel();
        ASSERT_TRUE(base64::detail::useKernel(GetParam()));
        ASSERT_EQ(base64::detail::activeKernel(), GetParam());
    }
    void TearDown() override { base64::detail::useKernel(saved_); }

private:
    Kernel saved_ = Kernel::Scalar;
};

TEST_P(KernelPath, KnownVectors) {
    for (const auto& [plain, text] : test::kRfc4648Vectors)
        EXPECT_EQ(encodeExact({plain.begin(), plain.end()}), text);

    // Long enough for the vector loop, covering every byte value.
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
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

TEST_P(KernelPath, EveryLengthAndAlignmentMatchesTheReference) {
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
        base64::encode(std::span(big).subspan(off), std::span<char>(out).subspan(off));
        EXPECT_EQ(out.substr(0, off), std::string(off, '#'));
        EXPECT_EQ(out.substr(off), referenceEncode(in)) << "offset " << off;
    }
}

TEST_P(KernelPath, LargeBuffersMatchTheTableEncoder) {
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

TEST_P(KernelPath, StreamEncoderAgreesAcrossRandomSplits) {
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        const size_t n = rng() % (round < 200 ? 200 : 20000);
        const auto in = randomBytes(rng, n);
        const std::string whole = referenceEncode(in);
        std::string streamed(whole.size(), '?');
        base64::StreamEncoder enc{std::span<char>(streamed)};
        size_t at = 0;
        while (at < n) {
            // Mostly short pieces that leave carries, sometimes long ones that reach the vector loop.
            const size_t piece = std::min(n - at, rng() % 4 == 0 ? size_t{rng() % 3000} : size_t{rng() % 5});
            enc.update(std::span(in).subspan(at, piece));
            at += piece;
        }
        EXPECT_EQ(enc.finish(), whole.size());
        EXPECT_EQ(streamed, whole) << "round " << round << " length " << n;
    }
}

TEST_P(KernelPath, DecodesWhatTheReferenceEncodes) {
    std::mt19937 rng(4);
    for (size_t n = 0; n <= 300; ++n) {
        const auto in = randomBytes(rng, n);
        EXPECT_EQ(decodeExact(referenceEncode(in)), in) << "length " << n;
    }
    const auto big = randomBytes(rng, (size_t{1} << 20) + 2);
    EXPECT_EQ(decodeExact(referenceEncode(big)), big);
}

TEST_P(KernelPath, DamagedTextDecodesToTheSameGarbage) {
    // Long enough that the vector loop sees every group but the last.
    // "A*AA" is 64<<12 = 1<<18: one added to the first sextet.
    EXPECT_EQ(decodeExact(repeat("A*AA", 40)), repeat(std::vector<uint8_t>{0x04, 0x00, 0x00}, 40));
    // "*AAA" is 64<<18, which overflows out of the 24 bits.
    EXPECT_EQ(decodeExact(repeat("*AAA", 40)), repeat(std::vector<uint8_t>{0x00, 0x00, 0x00}, 40));
    // "=" inside a group is zero bits: "Z=9v" = 25<<18 + 61<<6 + 47 = 0x640F6F.
    EXPECT_EQ(decodeExact(repeat("Z=9v", 40)), repeat(std::vector<uint8_t>{0x64, 0x0F, 0x6F}, 40));
    // Bytes of 0x80 and above are foreign characters like any other:
    // 64<<18 + 64<<12 + 64<<6 + 64 = 0x1041040, low 24 bits 0x041040.
    EXPECT_EQ(decodeExact(repeat(std::string{'\x80', '\xFF', '\xC3', '\xA9'}, 40)),
              repeat(std::vector<uint8_t>{0x04, 0x10, 0x40}, 40));

    // Random text over all 256 byte values, weighted towards the alphabet,
    // "=" and the bytes next to each range's ends.
    const std::string edges = std::string("@AZ[`az{/09:+,.-=<>") + '\x7F' + '\x80' + '\xFF' + '\0';
    std::mt19937 rng(31337);
    for (int round = 0; round < 400; ++round) {
        std::string text(4 * (rng() % 120), '\0');
        for (auto& c : text) {
            const unsigned pick = rng() % 4;
            c = pick == 0 ? static_cast<char>(rng()) : pick == 1 ? edges[rng() % edges.size()] : kAlphabet[rng() % 64];
        }
        EXPECT_EQ(decodeExact(text), referenceDecode(text)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Base64, KernelPath, testing::Values(Kernel::Scalar, Kernel::Avx2, Kernel::Avx512Vbmi),
                         [](const testing::TestParamInfo<Kernel>& info) { return std::string(nameOf(info.param)); });

TEST(Base64Dispatch, PicksTheVectorEncoderWhereTheCpuHasIt) {
    // The choice made on first use, before any test pins one.
    EXPECT_TRUE(base64::detail::supported(Kernel::Scalar));
    const Kernel expected = base64::detail::supported(Kernel::Avx512Vbmi) ? Kernel::Avx512Vbmi
                            : base64::detail::supported(Kernel::Avx2)     ? Kernel::Avx2
                                                                          : Kernel::Scalar;
    EXPECT_EQ(base64::detail::activeKernel(), expected);
    if (!base64::detail::supported(Kernel::Avx2)) {
        EXPECT_FALSE(base64::detail::useKernel(Kernel::Avx2));
        EXPECT_EQ(base64::detail::activeKernel(), Kernel::Scalar);
    }
}

}  // namespace
}  // namespace czs
