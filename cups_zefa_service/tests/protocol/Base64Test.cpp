#include "protocol/Base64.h"

#include "support/Rfc4648Vectors.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace czs {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes decoded(std::string_view text) {
    Bytes out;
    EXPECT_TRUE(base64::decode(text, out)) << text;
    return out;
}

TEST(Base64, EncodesTheKnownVectorsWithPadding) {
    for (const auto& [plain, text] : test::kRfc4648Vectors) {
        const Bytes in = bytesOf(plain);
        EXPECT_EQ(base64::encode(in), text);
        EXPECT_EQ(decoded(text), in);
    }
    const Bytes high = {0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64::encode(high), "+/+/");
}

TEST(Base64, DecodeRejectsOnlyLengthsNotAMultipleOfFour) {
    Bytes out = {1, 2, 3};
    EXPECT_FALSE(base64::decode("abc", out));
    EXPECT_EQ(out, (Bytes{1, 2, 3}));  // untouched on failure
    EXPECT_FALSE(base64::decode("Zm9vY", out));
    EXPECT_TRUE(base64::decode("", out));
    EXPECT_TRUE(out.empty());
}

TEST(Base64, LenientDecodingOfDamagedText) {
    // "=" inside a group counts as zero bits; the length only drops for "=" at the end.
    EXPECT_EQ(decoded("Z=9v"), (Bytes{0x64, 0x0F, 0x6F}));
    // Characters outside the alphabet count as 64; the sextets are added, so
    // "*AAA" = 64<<18 overflows out of the 24 bits: three zero bytes.
    EXPECT_EQ(decoded("*AAA"), (Bytes{0, 0, 0}));
    // "A*AA" = 64<<12 = 1<<18 adds one to the first sextet.
    EXPECT_EQ(decoded("A*AA"), (Bytes{0x04, 0x00, 0x00}));
    // Bytes of 0x80 and above are outside the table's ASCII range and decode
    // like any other foreign character (and must not read outside the table:
    // the sanitizer builds catch that).
    const std::string high = {'\x80', '\xFF', '\xC3', '\xA9'};
    EXPECT_EQ(decoded(high), decoded("****"));
    EXPECT_EQ(decoded(high).size(), 3u);
}

TEST(Base64, RoundTripsEveryLengthAndTheStreamEncoderAgrees) {
    std::mt19937 rng(12345);
    for (size_t n = 0; n < 70; ++n) {
        Bytes in(n);
        for (auto& b : in)
            b = static_cast<uint8_t>(rng());
        const std::string text = base64::encode(in);
        EXPECT_EQ(text.size(), base64::encodedSize(n));
        EXPECT_EQ(decoded(text), in) << n;

        // Split the same bytes into three pieces at every pair of cut points.
        for (size_t a = 0; a <= n; a += 3) {
            for (size_t b = a; b <= n; b += 2) {
                std::string streamed(base64::encodedSize(n), '?');
                base64::StreamEncoder enc{std::span<char>(streamed)};
                enc.update(std::span(in).first(a));
                enc.update(std::span(in).subspan(a, b - a));
                enc.update(std::span(in).subspan(b));
                EXPECT_EQ(enc.finish(), text.size());
                EXPECT_EQ(streamed, text) << n << " " << a << " " << b;
            }
        }
    }
}

}  // namespace
}  // namespace czs
