// Every decode and validation code of the protocol layers, each reached by
// the input that produces it: the exception class a caller catches, the
// number it reports, and its text. The numbers and texts reach peers' logs.
#include "protocol/PrintProtocolFrame.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/RawStreamDataConverter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/FrameBytes.h"
#include "support/LogCapture.h"

namespace czs {
namespace {

using Bytes = std::vector<uint8_t>;
using FrameError = PrintProtocolFrameError;
using MsgError = PrintProtocolJsonMsgError;

Bytes frame(uint16_t type, const std::string& payload) {
    return test::frame(payload, type);
}

// The frame exception a decode throws, if any. Any other exception escapes
// and fails the test.
std::optional<PrintProtocolFrame::PrintProtocolFrameException> frameFailure(const Bytes& b) {
    try {
        PrintProtocolFrame f(b.empty() ? nullptr : b.data(), b.size());
    } catch (const PrintProtocolFrame::PrintProtocolFrameException& e) {
        return e;
    }
    return std::nullopt;
}

std::optional<PrintProtocolJsonMsg::PrintProtocolJsonMsgException> messageFailure(const std::string& b64) {
    try {
        PrintProtocolJsonMsg m(reinterpret_cast<const uint8_t*>(b64.data()), static_cast<uint32_t>(b64.size()));
    } catch (const PrintProtocolJsonMsg::PrintProtocolJsonMsgException& e) {
        return e;
    }
    return std::nullopt;
}

TEST(ProtocolErrorCodes, EachFrameCheckThrowsTheFrameExceptionWithItsNumberAndText) {
    Bytes badCrc = frame(4, "ab");
    badCrc[12] = 0x01;
    Bytes badLen = frame(4, "ab");
    badLen[9] = 0x03;
    Bytes noEof = frame(4, "ab");
    noEof.back() = 0x0B;
    const struct {
        Bytes input;
        FrameError error;
        int32_t number;
        const char* text;
    } cases[] = {
        {{}, FrameError::NoData, 1, "unknown error"},
        {{'X', 'E', 'F', 'A', 0x0A}, FrameError::InvalidSof, 2, "SOF value is invalid"},
        {frame(5, "ab"), FrameError::InvalidType, 3, "type value is invalid"},
        {frame(4, ""), FrameError::FrameTooSmall, 4, "frame size is too small"},
        {badLen, FrameError::InvalidPayloadLen, 5, "payload len is invalid"},
        {badCrc, FrameError::InvalidCrc, 6, "crc value is invalid"},
        {noEof, FrameError::MissingEof, 7, "end of frame is missed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        const auto failure = frameFailure(c.input);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->error(), c.error);
        EXPECT_EQ(failure->code(), c.number);
        EXPECT_STREQ(failure->what(), c.text);
        EXPECT_STREQ(PrintProtocolFrame::errorText(c.error), c.text);
    }
    // The codes no check throws still have their texts.
    EXPECT_STREQ(PrintProtocolFrame::errorText(FrameError::NoError), "No error");
    EXPECT_STREQ(PrintProtocolFrame::errorText(FrameError::Unknown), "unknown error");
    EXPECT_STREQ(PrintProtocolFrame::PrintProtocolFrameException(FrameError::Unknown).what(), "unknown error");
    EXPECT_EQ(PrintProtocolFrame::PrintProtocolFrameException(FrameError::Unknown).code(), 8);
    // A valid frame throws nothing and reports 0.
    const Bytes good = frame(4, "ab");
    EXPECT_FALSE(frameFailure(good).has_value());
    EXPECT_EQ(PrintProtocolFrame(good.data(), good.size()).getError(), 0);
}

TEST(ProtocolErrorCodes, EachMessageCheckThrowsTheMessageExceptionWithItsNumberAndText) {
    const struct {
        std::string b64;  // the JSON text is in the comment beside it
        MsgError error;
        int32_t number;
        const char* text;
    } cases[] = {
        {"abc", MsgError::DecodeError, 1, "Error while decoding JSON data"},
        {"ew==", MsgError::ConvertError, 2, nullptr},                              // "{": not JSON
        {"e30=", MsgError::Empty, 4, "JSON object is empty"},                      // {}
        {"WzFd", MsgError::NotObject, 5, "Data in message is not a JSON object"},  // [1]
        // {"type":"request"}
        {"eyJ0eXBlIjoicmVxdWVzdCJ9", MsgError::NoMethod, 6, "Message does not contain method field"},
        // {"method":""}
        {"eyJtZXRob2QiOiIifQ==", MsgError::UnknownMethod, 7, "Message contains unknown method"},
        // {"method":"sendfile","type":"request"}
        {"eyJtZXRob2QiOiJzZW5kZmlsZSIsInR5cGUiOiJyZXF1ZXN0In0=", MsgError::NoContext, 8,
         "Message does not contain context field"},
        // {"method":"sendfile"}
        {"eyJtZXRob2QiOiJzZW5kZmlsZSJ9", MsgError::NoType, 10, "Message does not contain type field"},
        // {"method":"sendfile","type":""}
        {"eyJtZXRob2QiOiJzZW5kZmlsZSIsInR5cGUiOiIifQ==", MsgError::UnknownError, 11, "Unknown error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        const auto failure = messageFailure(c.b64);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->error(), c.error);
        EXPECT_EQ(failure->code(), c.number);
        if (c.text != nullptr) {
            EXPECT_STREQ(failure->what(), c.text);
            EXPECT_STREQ(PrintProtocolJsonMsg::errorText(c.error), c.text);
        } else {
            // The library's own error rides along in parentheses.
            const std::string what = failure->what();
            const std::string head = std::string(PrintProtocolJsonMsg::errorText(c.error)) + " (";
            EXPECT_EQ(what.rfind(head, 0), 0u) << what;
            EXPECT_GT(what.size(), head.size() + 1);
            EXPECT_EQ(what.back(), ')');
        }
    }
    EXPECT_STREQ(PrintProtocolJsonMsg::errorText(MsgError::Ok), "OK");
    EXPECT_STREQ(PrintProtocolJsonMsg::errorText(MsgError::Null), "JSON object is null");
    EXPECT_STREQ(PrintProtocolJsonMsg::errorText(MsgError::ContextNotSupported),
                 "Message contains context is not supported");

    // An unsupported context is recorded, never thrown:
    // {"context":"x","method":"sendfile","type":"request"}
    const std::string foreign = "eyJjb250ZXh0IjoieCIsIm1ldGhvZCI6InNlbmRmaWxlIiwidHlwZSI6InJlcXVlc3QifQ==";
    EXPECT_FALSE(messageFailure(foreign).has_value());
    const PrintProtocolJsonMsg m(reinterpret_cast<const uint8_t*>(foreign.data()),
                                 static_cast<uint32_t>(foreign.size()));
    EXPECT_EQ(m.getErrorCode(), 9);
    EXPECT_EQ(m.getErrorText(), "Message contains context is not supported");
    EXPECT_EQ(m.getMethod(), kMethodSendFile);
}

TEST(ProtocolErrorCodes, TheConverterTurnsEitherExceptionIntoStatusTwoAndLogsItsText) {
    test::LogCapture log;
    ASSERT_TRUE(log.opened());
    const auto converter = makeRawStreamDataConverter();
    const std::string prefix = "[RawStreamDataConverterImpl]:[convertToProtocolJsonMsg]: got exception: ";

    Bytes badCrc = frame(4, "ab");
    badCrc[13] = 0x01;
    ConversionResult r = converter->convertToProtocolJsonMsg(badCrc);
    EXPECT_EQ(r.status, ConversionStatus::Error);
    EXPECT_EQ(static_cast<int32_t>(r.status), 2);
    EXPECT_TRUE(log.contains(prefix + "crc value is invalid\n"));

    r = converter->convertToProtocolJsonMsg(frame(4, "WzFd"));  // [1]
    EXPECT_EQ(r.status, ConversionStatus::Error);
    EXPECT_TRUE(log.contains(prefix + "Data in message is not a JSON object\n"));

    r = converter->convertToProtocolJsonMsg(frame(0, "ab"));
    EXPECT_EQ(static_cast<int32_t>(r.status), 1);
    EXPECT_EQ(r.status, ConversionStatus::NoMessage);
}

}  // namespace
}  // namespace czs
