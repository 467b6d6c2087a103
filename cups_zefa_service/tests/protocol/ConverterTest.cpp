#include "protocol/RawStreamDataConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "support/FrameBytes.h"
#include "support/LogCapture.h"

namespace czs {
namespace {

// Frames around a payload, assembled by hand here so the converter is not
// tested against its own encoder.
RawStreamData frameOf(uint16_t type, const std::string& payload) {
    return test::frame(payload, type);
}

// {"context":"cups","method":"sendfile","type":"request","data":{"id":"a","offset":0,"size":10}}
const char* const kChunkRequestB64 =
    "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6InNlbmRmaWxlIiwidHlwZSI6InJlcXVlc3QiLCJkYXRhIjp7ImlkIjoiYSIsIm9m"
    "ZnNldCI6MCwic2l6ZSI6MTB9fQ==";

const char* const kLinePrefix = "[RawStreamDataConverterImpl]:[convertToProtocolJsonMsg]: got exception: ";

class ConverterTest : public ::testing::Test {
protected:
    test::LogCapture log;
    std::unique_ptr<RawStreamDataConverter> converter = makeRawStreamDataConverter();
};

TEST_F(ConverterTest, ChunkRequestGivesStatusZero) {
    ASSERT_TRUE(log.opened());
    const RawStreamData in = frameOf(4, kChunkRequestB64);
    const RawStreamData copy = in;
    const ConversionResult r = converter->convertToProtocolJsonMsg(in);
    EXPECT_EQ(r.status, ConversionStatus::Message);
    EXPECT_EQ(r.message.getMethod(), kMethodSendFile);
    EXPECT_EQ(r.message.getType(), kMsgTypeRequest);
    EXPECT_EQ(r.message.getJson()["data"]["size"], 10);
    EXPECT_EQ(in, copy);  // input untouched
    EXPECT_EQ(log.text(), "");
}

TEST_F(ConverterTest, DiscoveryRequestFrameOf89Bytes) {
    // 89 bytes: 13 of framing around the 76 base64 characters.
    const RawStreamData in = frameOf(4, "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJyZXF1ZXN0In0=");
    ASSERT_EQ(in.size(), 89u);
    const ConversionResult r = converter->convertToProtocolJsonMsg(in);
    EXPECT_EQ(r.status, ConversionStatus::Message);
    EXPECT_EQ(r.message.getMethod(), kMethodDiscovery);
}

TEST_F(ConverterTest, OtherFrameTypeGivesStatusOneSilently) {
    const ConversionResult r = converter->convertToProtocolJsonMsg(frameOf(3, "xx"));
    EXPECT_EQ(r.status, ConversionStatus::NoMessage);
    EXPECT_TRUE(r.message.getJson().is_null());
    EXPECT_EQ(r.message.getMethod(), -1);
    EXPECT_EQ(log.text(), "");
}

TEST_F(ConverterTest, TwoFramesBackToBackAreOneError) {
    RawStreamData two = frameOf(4, kChunkRequestB64);
    const RawStreamData second = two;
    two.insert(two.end(), second.begin(), second.end());
    const ConversionResult r = converter->convertToProtocolJsonMsg(two);
    EXPECT_EQ(r.status, ConversionStatus::Error);
    EXPECT_TRUE(r.message.getJson().is_null());
    EXPECT_EQ(log.count(std::string(kLinePrefix) + "payload len is invalid\n"), 1u);
}

TEST_F(ConverterTest, MessageErrorsAreLoggedWithTheirText) {
    // "W10=" is the base64 of [].
    const ConversionResult r = converter->convertToProtocolJsonMsg(frameOf(4, "W10="));
    EXPECT_EQ(r.status, ConversionStatus::Error);
    EXPECT_EQ(r.message.getType(), -1);
    EXPECT_TRUE(log.contains(std::string(kLinePrefix) + "JSON object is empty\n"));
    EXPECT_TRUE(log.contains("ERROR"));
}

TEST_F(ConverterTest, EmptyInputIsLoggedAndRejected) {
    const ConversionResult r = converter->convertToProtocolJsonMsg({});
    EXPECT_EQ(r.status, ConversionStatus::Error);
    EXPECT_TRUE(log.contains(std::string(kLinePrefix) + "unknown error\n"));
}

TEST_F(ConverterTest, ForeignContextStillDelivers) {
    // {"context":"other","method":"sendfile","type":"request"}
    const ConversionResult r = converter->convertToProtocolJsonMsg(
        frameOf(4, "eyJjb250ZXh0Ijoib3RoZXIiLCJtZXRob2QiOiJzZW5kZmlsZSIsInR5cGUiOiJyZXF1ZXN0In0="));
    EXPECT_EQ(r.status, ConversionStatus::Message);
    EXPECT_EQ(r.message.getErrorCode(), 9);
}

}  // namespace
}  // namespace czs
