// host-sim's own wire codec is the oracle of the end-to-end tests: checked
// here against frames written out by hand, never against the daemon's codec.
#include "WireCodec.h"

#include <gtest/gtest.h>

#include <string>

namespace hostsim::wire {
namespace {

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(HostSimWire, TheDiscoveryRequestFrameIsTheKnown89Bytes) {
    const std::string json = R"({"context":"cups","method":"discovery","type":"request"})";
    const std::string b64 = "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJyZXF1ZXN0In0=";
    EXPECT_EQ(base64Encode(json), b64);
    const std::vector<uint8_t> f = frame(b64);
    const std::vector<uint8_t> want =
        bytes(std::string("ZEFA\x00\x04\x00\x00\x00\x4C", 10) + b64 + std::string("\x00\x00\x0A", 3));
    ASSERT_EQ(f, want);
    std::string why;
    const auto m = decode(f, why);
    ASSERT_TRUE(m) << why;
    EXPECT_EQ(m->method(), "discovery");
    EXPECT_EQ(m->kind(), "request");
}

TEST(HostSimWire, Base64DecodingIsStrict) {
    const auto ok = base64Decode(std::string_view("ODkAAA=="));
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, (std::vector<uint8_t>{'8', '9', 0, 0}));
    for (const std::string bad : {"ODk", "OD!=", "O=k=", "OD k", "ODk\n"}) {
        EXPECT_FALSE(base64Decode(std::string_view(bad))) << bad;
    }
    EXPECT_TRUE(base64Decode(std::string_view())->empty());
}

TEST(HostSimWire, FramesWithAWrongLengthCheckFieldOrPayloadAreRefused) {
    std::string why;
    auto f = frame(base64Encode(R"({"context":"cups","method":"sendfile","type":"response"})"));
    f[9] ^= 1;  // length
    EXPECT_FALSE(decode(f, why));
    f[9] ^= 1;
    f[f.size() - 2] = 1;  // check field
    EXPECT_FALSE(decode(f, why));
    const auto spaced = frame(base64Encode(R"({"context": "cups"})"));  // not the compact text
    EXPECT_FALSE(decode(spaced, why));
    EXPECT_EQ(why, "payload is not the compact JSON text");
}

TEST(HostSimWire, TheSplitterResynchronisesAfterNoiseAndAcrossCuts) {
    std::size_t dropped = 0;
    FrameSplitter splitter(1 << 20, [&](std::size_t n, const char*) { dropped += n; });
    const auto a = frame("QUJD");
    const auto b = frame("REVG");
    std::vector<uint8_t> stream = bytes("noiseZE");
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> out;
    for (uint8_t byte : stream) {  // one byte at a time
        splitter.append(std::span(&byte, 1));
        while (splitter.next(out))
            got.push_back(out);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], a);
    EXPECT_EQ(got[1], b);
    EXPECT_EQ(dropped, 7u);
}

}  // namespace
}  // namespace hostsim::wire
