#include <gtest/gtest.h>

#include <string>

#include "support/FrameBytes.h"
#include "support/LogCapture.h"
#include "protocol/Base64.h"
#include "service/SerialPortHandler.h"
#include "service/SocketHandler.h"
#include "task/PrintFileRegistry.h"

namespace czs {
namespace {

RawStreamData messageFrame(const std::string& json) {
    std::string b64 = base64::encode(std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
    return test::frame(b64);
}

// What a handler borrows from the service that owns it.
struct Owner {
    PrintFileRegistry registry;
    DaemonConfig config;
};

// The whole image; a produced reply (a chunk response) is drained.
std::string str(Reply& r) {
    if (r.data() != nullptr) return {reinterpret_cast<const char*>(r.data()), static_cast<size_t>(r.size())};
    std::string out(static_cast<size_t>(r.remaining()), '\0');
    r.take(std::span(reinterpret_cast<uint8_t*>(out.data()), out.size()));
    return out;
}

TEST(SerialPortHandler, DiscoveryNotificationIsAnsweredWithTheDiscoveryRequestFrame) {
    test::LogCapture log;
    Owner owner;
    SerialPortHandler h(owner.registry, HostTransport::SharedMemory, owner.config);
    Reply r = h.handle(messageFrame(R"({"context":"cups","method":"discovery","type":"notification"})"));
    // 89 bytes: header, the 76 base64 characters of
    // {"context":"cups","method":"discovery","type":"request"}, check, end.
    const std::string expected =
        std::string("ZEFA\x00\x04\x00\x00\x00\x4C", 10) +
        "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJyZXF1ZXN0In0=" + std::string("\x00\x00\x0A", 3);
    ASSERT_EQ(r.size(), 89u);
    EXPECT_EQ(str(r), expected);
}

TEST(SerialPortHandler, MessagesWithoutATaskAreLoggedAndGetNoReply) {
    test::LogCapture log;
    Owner owner;
    SerialPortHandler h(owner.registry, HostTransport::SharedMemory, owner.config);
    for (const char* json : {R"({"context":"cups","method":"message","type":"info"})",
                             R"({"context":"cups","method":"sendfile","type":"error"})",
                             R"({"context":"cups","method":"sendfile","type":"response"})"}) {
        EXPECT_TRUE(h.handle(messageFrame(json)).empty()) << json;
    }
    EXPECT_EQ(log.count("[SerialPortHandler]:[handle] HandlerSerialPort: cannot create task\n"), 3u);
}

TEST(SerialPortHandler, InvalidFramesAndNonMessageFramesAreLoggedWithTheConverterStatus) {
    test::LogCapture log;
    Owner owner;
    SerialPortHandler h(owner.registry, HostTransport::SharedMemory, owner.config);
    EXPECT_TRUE(h.handle(test::frame("xy", 3)).empty());
    EXPECT_TRUE(h.handle(test::bytes("ZEFA\n")).empty());
    EXPECT_TRUE(h.handle(messageFrame("[1]")).empty());
    EXPECT_EQ(log.count("[SerialPortHandler]:[handle]: RawStreamDataConverter error res=1\n"), 1u);
    EXPECT_EQ(log.count("[SerialPortHandler]:[handle]: RawStreamDataConverter error res=2\n"), 2u);
}

TEST(SerialPortHandler, JsonTypeErrorsInEveryHostMessageStayInsideHandle) {
    test::LogCapture log;
    Owner owner;
    SerialPortHandler h(owner.registry, HostTransport::SharedMemory, owner.config);
    const char* bad[] = {
        R"({"context":"cups","method":"sendfile","type":"request","data":{"id":"x","offset":"zero","size":4}})",
        R"({"context":"cups","method":"sendfile","type":"request","data":{"id":7,"offset":0,"size":4}})",
        R"({"context":"cups","method":"sendfile","type":"request","data":[1,2]})",
        R"({"context":"cups","method":"discovery","type":"request","data":"text"})",
        R"({"context":"cups","method":"discovery","type":"response","data":{"devices":[]}})",
        R"({"context":"cups","method":"discovery","type":"response","data":{"meta":{},"devices":[7]}})",
        R"({"context":"cups","method":"discovery","type":"response","data":{"meta":{"platform":1}}})",
        R"({"context":"cups","method":"discovery","type":"response","data":"text"})",
    };
    for (const char* json : bad) {
        EXPECT_TRUE(h.handle(messageFrame(json)).empty()) << json;
    }
    EXPECT_EQ(log.count("[SerialPortHandler]:[handle]: message dropped, exception: "), std::size(bad));
    // The handler still works afterwards.
    EXPECT_EQ(h.handle(messageFrame(R"({"context":"cups","method":"discovery","type":"notification"})")).size(), 89u);
}

class SpoolDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/czs_spool_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string file(const std::string& name, const std::string& content) {
        std::string p = dir_ + "/" + name;
        FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return p;
    }
    std::string dir_;
};

using SocketHandlerTest = SpoolDir;

TEST_F(SocketHandlerTest, BadLinesAreRefusedWithTheirOwnLogLines) {
    test::LogCapture log;
    PrintFileRegistry registry;
    SocketHandler h(registry, dir_);
    EXPECT_TRUE(h.handle({}).empty());
    EXPECT_TRUE(h.handle(test::bytes("not json\n")).empty());
    EXPECT_TRUE(h.handle(test::bytes("{\"a\":1} {\"b\":2}\n")).empty());
    EXPECT_TRUE(log.contains("[SocketHandler]:[handle]: RawStreamData empty\n"));
    EXPECT_EQ(log.count("[SocketHandler]:[handle]: Error while parsing JSON\n"), 2u);
}

TEST_F(SocketHandlerTest, AnnouncementTypeErrorsAreContainedAndTheNextJobIsAnnounced) {
    test::LogCapture log;
    PrintFileRegistry registry;
    SocketHandler h(registry, dir_);
    EXPECT_TRUE(h.handle(test::bytes("{\"abspath\":42}\n")).empty());
    EXPECT_TRUE(h.handle(test::bytes("[1,2]\n")).empty());
    EXPECT_TRUE(h.handle(test::bytes("\"text\"\n")).empty());
    EXPECT_EQ(log.count("[SocketHandler]:[handle]: announcement dropped, exception: "), 3u);
    std::string path = file("job1", "hello");
    Reply r = h.handle(test::bytes("{\"abspath\":\"" + path + "\",\"title\":\"t\"}\n"));
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(str(r).substr(0, 4), "ZEFA");
}

using SerialPortHandlerChunks = SpoolDir;

TEST_F(SerialPortHandlerChunks, AnnouncedFileIsServedAndABadRequestInBetweenChangesNothing) {
    test::LogCapture log;
    // Both sides share the owner's registry: the id announced by one is found
    // by the other.
    Owner owner;
    SocketHandler announce(owner.registry, dir_);
    SerialPortHandler host(owner.registry, HostTransport::SerialPort, owner.config);
    std::string path = file("job2", "0123456789");
    Reply note = announce.handle(test::bytes("{\"abspath\":\"" + path + "\"}\n"));
    ASSERT_FALSE(note.empty());
    // Take the id out of the announcement frame.
    std::string payload = str(note).substr(10, note.size() - 13);
    std::vector<uint8_t> json;
    ASSERT_TRUE(base64::decode(payload, json));
    auto id = nlohmann::json::parse(json)["data"]["id"].get<std::string>();

    auto request = [&](const std::string& offset, const std::string& size) {
        return messageFrame(R"({"context":"cups","method":"sendfile","type":"request","data":{"id":")" + id +
                            R"(","offset":)" + offset + R"(,"size":)" + size + "}}");
    };
    Reply first = host.handle(request("0", "4"));
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(host.handle(request("\"4\"", "4")).empty());
    Reply second = host.handle(request("4", "6"));
    ASSERT_FALSE(second.empty());
    std::string p2 = str(second).substr(10, second.size() - 13);
    ASSERT_TRUE(base64::decode(p2, json));
    auto data = nlohmann::json::parse(json)["data"];
    EXPECT_EQ(data["offset"], 4);
    EXPECT_EQ(data["chunk"], "NDU2Nzg5");  // base64 of "456789"
}

}  // namespace
}  // namespace czs
