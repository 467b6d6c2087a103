#include "protocol/PrintProtocolJsonMsg.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace czs {
namespace {

using Msg = PrintProtocolJsonMsg;

std::string asText(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

Msg parse(const std::string& b64) {
    return Msg(reinterpret_cast<const uint8_t*>(b64.data()), static_cast<uint32_t>(b64.size()));
}

struct Failure {
    int32_t code = 0;
    std::string text;
};

Failure failureOf(const std::string& b64) {
    try {
        parse(b64);
    } catch (const Msg::PrintProtocolJsonMsgException& e) {
        return {e.code(), e.what()};
    }
    return {};
}

// Base64 of the discovery request, written out from its 56-byte JSON text
// {"context":"cups","method":"discovery","type":"request"}.
const char* const kDiscoveryB64 = "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJyZXF1ZXN0In0=";

TEST(PrintProtocolJsonMsgBuild, DiscoveryRequestSerialisesToTheKnownText) {
    const Msg m(kMethodDiscovery, kMsgTypeRequest);
    EXPECT_EQ(m.getJson().dump(), R"({"context":"cups","method":"discovery","type":"request"})");
    const auto payload = m.serialize();
    EXPECT_EQ(payload.size(), 76u);
    EXPECT_EQ(asText(payload), kDiscoveryB64);
    // Built messages carry method and type only as strings.
    EXPECT_EQ(m.getMethod(), -1);
    EXPECT_EQ(m.getType(), -1);
}

TEST(PrintProtocolJsonMsgBuild, MembersAreKeySortedCompactAndRawUtf8) {
    Msg m(kMethodSendFile, kMsgTypeResponse);
    m.setField("data", nlohmann::json{{"size", 2}, {"id", "é"}, {"chunk", "QUI="}, {"offset", 0}});
    const std::string text = m.getJson().dump();
    EXPECT_EQ(text,
              "{\"context\":\"cups\",\"data\":{\"chunk\":\"QUI=\",\"id\":\"\xC3\xA9\",\"offset\":0,"
              "\"size\":2},\"method\":\"sendfile\",\"type\":\"response\"}");
    // The payload is exactly the base64 of that text.
    const Msg back = parse(asText(m.serialize()));
    EXPECT_EQ(back.getJson(), m.getJson());
    EXPECT_EQ(back.getMethod(), kMethodSendFile);
    EXPECT_EQ(back.getType(), kMsgTypeResponse);
}

TEST(PrintProtocolJsonMsgBuild, SettersTablesAndErrors) {
    Msg m(kMethodDiscovery, kMsgTypeRequest);
    m.setMethod(kMethodSendFile);
    m.setType(kMsgTypeNotification);
    EXPECT_EQ(m.getJson()["method"], "sendfile");
    EXPECT_EQ(m.getJson()["type"], "notification");
    EXPECT_THROW(Msg(9, 1), std::out_of_range);
    EXPECT_THROW(m.setType(0), std::out_of_range);

    Msg empty;
    empty.setField("data", 1);  // a null message becomes an object first
    EXPECT_EQ(empty.getJson().dump(), R"({"data":1})");

    const Msg info(7, "hi", kMsgTypeInfo);
    EXPECT_EQ(info.getJson().dump(),
              R"({"context":"cups","data":{"code":7,"text":"hi"},"method":"message","type":"info"})");

    Msg bad(kMethodSendFile, kMsgTypeResponse);
    bad.setField("data", std::string("\xFF"));
    try {
        bad.serialize();
        FAIL() << "invalid UTF-8 serialised";
    } catch (const nlohmann::json::type_error& e) {
        EXPECT_EQ(e.id, 316);
    }
}

TEST(PrintProtocolJsonMsgBuild, GetFieldOnlyFromObjects) {
    const nlohmann::json obj = {{"data", {{"id", "x"}}}};
    EXPECT_EQ(Msg::getField(obj, "data")["id"], "x");
    EXPECT_TRUE(Msg::getField(obj, "none").is_null());
    EXPECT_TRUE(Msg::getField(nlohmann::json::array({1}), "data").is_null());
    EXPECT_TRUE(Msg::getField(nullptr, "data").is_null());
}

TEST(PrintProtocolJsonMsgParse, ValidMessagesSetNumbers) {
    const Msg m = parse(kDiscoveryB64);
    EXPECT_EQ(m.getMethod(), kMethodDiscovery);
    EXPECT_EQ(m.getType(), kMsgTypeRequest);
    EXPECT_EQ(m.getErrorCode(), 0);
    EXPECT_EQ(m.getErrorText(), "OK");

    // {"context":"cups","method":"bogus","type":"odd"}: names outside the tables are no error.
    const Msg odd = parse("eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImJvZ3VzIiwidHlwZSI6Im9kZCJ9");
    EXPECT_EQ(odd.getMethod(), -1);
    EXPECT_EQ(odd.getType(), -1);
    EXPECT_EQ(odd.getErrorCode(), 0);
}

TEST(PrintProtocolJsonMsgParse, ValidationCodesAndTexts) {
    const struct {
        const char* b64;
        const char* json;
        int32_t code;
        const char* text;
    } cases[] = {
        {"abc", "(not a multiple of 4)", 1, "Error while decoding JSON data"},
        {"W10=", "[]", 4, "JSON object is empty"},
        {"bnVsbA==", "null", 4, "JSON object is empty"},
        {"e30=", "{}", 4, "JSON object is empty"},
        {"WzFd", "[1]", 5, "Data in message is not a JSON object"},
        {"NDI=", "42", 5, "Data in message is not a JSON object"},
        {"eyJ0eXBlIjoicmVxdWVzdCJ9", R"({"type":"request"})", 6, "Message does not contain method field"},
        {"eyJtZXRob2QiOiJzZW5kZmlsZSJ9", R"({"method":"sendfile"})", 10, "Message does not contain type field"},
        {"eyJtZXRob2QiOiJzZW5kZmlsZSIsInR5cGUiOiJyZXF1ZXN0In0=", R"({"method":"sendfile","type":"request"})", 8,
         "Message does not contain context field"},
        {"eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6IiIsInR5cGUiOiJyZXF1ZXN0In0=",
         R"({"context":"cups","method":"","type":"request"})", 7, "Message contains unknown method"},
        {"eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6InNlbmRmaWxlIiwidHlwZSI6IiJ9",
         R"({"context":"cups","method":"sendfile","type":""})", 11, "Unknown error"},
    };
    for (const auto& c : cases) {
        const Failure f = failureOf(c.b64);
        EXPECT_EQ(f.code, c.code) << c.json;
        EXPECT_EQ(f.text, c.text) << c.json;
    }
}

TEST(PrintProtocolJsonMsgParse, LibraryErrorsBecomeCodeTwoWithTheirText) {
    // {"context":"cups","method":7,"type":"request"}
    const Failure num = failureOf("eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6NywidHlwZSI6InJlcXVlc3QifQ==");
    EXPECT_EQ(num.code, 2);
    EXPECT_EQ(num.text,
              "Error while converting data to JSON object "
              "([json.exception.type_error.302] type must be string, but is number)");

    // {"a":1} x  - trailing bytes after the value
    const Failure trailing = failureOf("eyJhIjoxfSB4");
    EXPECT_EQ(trailing.code, 2);
    EXPECT_EQ(trailing.text.rfind("Error while converting data to JSON object ([json.exception.parse_error.", 0), 0u)
        << trailing.text;
    EXPECT_EQ(trailing.text.back(), ')');

    // Empty payload decodes to nothing, which is no JSON.
    EXPECT_EQ(failureOf("").code, 2);
    // Garbage characters decode to garbage that the JSON step rejects.
    EXPECT_EQ(failureOf("\x80\x81\xFE\xFF").code, 2);
}

TEST(PrintProtocolJsonMsgParse, ForeignContextIsRecordedNotThrown) {
    // {"context":"other","method":"sendfile","type":"request"}
    const Msg m = parse("eyJjb250ZXh0Ijoib3RoZXIiLCJtZXRob2QiOiJzZW5kZmlsZSIsInR5cGUiOiJyZXF1ZXN0In0=");
    EXPECT_EQ(m.getErrorCode(), 9);
    EXPECT_EQ(m.getErrorText(), "Message contains context is not supported");
    EXPECT_EQ(m.getMethod(), kMethodSendFile);
    EXPECT_EQ(m.getType(), kMsgTypeRequest);
}

}  // namespace
}  // namespace czs
