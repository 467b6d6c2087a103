#include "task/TaskPrintNewFile.h"
#include "task/TaskSendChunk.h"
#include "task/TaskSendNotification.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/LogCapture.h"
#include "TaskTestSupport.h"

namespace czs {
namespace {

using nlohmann::json;

// The 89-byte discovery request frame, written out by hand: "ZEFA", type 4,
// length 76, the base64 of {"context":"cups","method":"discovery","type":"request"},
// check 00 00, end 0A.
std::vector<uint8_t> discoveryFrame() {
    const std::string b64 = "eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJyZXF1ZXN0In0=";
    std::vector<uint8_t> f = {'Z', 'E', 'F', 'A', 0x00, 0x04, 0x00, 0x00, 0x00, 0x4C};
    f.insert(f.end(), b64.begin(), b64.end());
    f.insert(f.end(), {0x00, 0x00, 0x0A});
    return f;
}

TEST(TaskSendNotification, ReturnsTheDiscoveryRequestFrame) {
    test::LogCapture log;
    std::unique_ptr<TaskBase> task = std::make_unique<TaskSendNotification>();
    Reply reply = task->execute();
    ASSERT_EQ(reply.size(), 89u);
    EXPECT_EQ(std::vector<uint8_t>(reply.data(), reply.data() + reply.size()), discoveryFrame());
    EXPECT_EQ(log.count("[TaskSendNotification]:[execute]: executing task\n"), 1u);
}

class TaskWithFilesTest : public ::testing::Test {
protected:
    test::LogCapture log;
    test::TempSpool spool;
    PrintFileRegistry registry;
};

TEST_F(TaskWithFilesTest, PrintNewFileAnnouncesInATypeFourFrame) {
    const std::string file = spool.write("job", {'x', 'y'});
    NewFilePerformer performer(spool.path(), registry);
    const std::string line = json({{"abspath", file}, {"copies", 2}}).dump() + "\n";
    TaskPrintNewFile task(performer, RawStreamData(line.begin(), line.end()));
    Reply reply = task.execute();
    ASSERT_FALSE(reply.empty());
    const json msg = json::parse(test::frameJsonText(reply));
    EXPECT_EQ(msg["method"], "sendfile");
    EXPECT_EQ(msg["type"], "notification");
    EXPECT_EQ(msg["data"]["copies"], 2);
    EXPECT_EQ(registry.findFile(msg["data"]["id"]), file);
    EXPECT_EQ(log.count("[TaskPrintNewFile]:[execute]: executing task\n"), 1u);
}

TEST_F(TaskWithFilesTest, RefusedAnnouncementSendsNothing) {
    NewFilePerformer performer(spool.path(), registry);
    const std::string line = R"({"abspath":"/etc/shadow"})";
    TaskPrintNewFile task(performer, RawStreamData(line.begin(), line.end()));
    EXPECT_TRUE(task.execute().empty());
    EXPECT_EQ(registry.expire(PrintFileRegistry::Clock::time_point::max(), nullptr), 0u);  // nothing recorded
}

TEST_F(TaskWithFilesTest, SendChunkFramesTheResponse) {
    registry.addFile("f", spool.write("f", {'0', '1', '2', '3'}));
    ChunkPerformer performer(registry);
    PrintProtocolJsonMsg request(kMethodSendFile, kMsgTypeRequest);
    request.setField("data", json{{"id", "f"}, {"offset", 0}, {"size", 4}});
    TaskSendChunk task(performer, request);
    Reply reply = task.execute();
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(test::frameJsonText(reply),
              R"({"context":"cups","data":{"chunk":"MDEyMw==","id":"f","offset":0,"size":4},)"
              R"("method":"sendfile","type":"response"})");
    EXPECT_EQ(log.count("[TaskSendChunk]:[execute]: executing task\n"), 1u);
}

TEST_F(TaskWithFilesTest, SendChunkWithoutSizeReturnsNothing) {
    registry.addFile("f", spool.write("f", {'0'}));
    ChunkPerformer performer(registry);
    PrintProtocolJsonMsg request(kMethodSendFile, kMsgTypeRequest);
    request.setField("data", json{{"id", "f"}, {"offset", 0}});
    TaskSendChunk task(performer, request);
    Reply reply = task.execute();
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(reply.size(), 0u);
    EXPECT_TRUE(log.contains("[ChunkPerformer]:[createResponse]: base64 chunk is empty\n"));
}

TEST_F(TaskWithFilesTest, SendChunkLetsTypeErrorsOut) {
    ChunkPerformer performer(registry);
    PrintProtocolJsonMsg request(kMethodSendFile, kMsgTypeRequest);
    request.setField("data", json{{"id", "f"}, {"size", "10"}});
    TaskSendChunk task(performer, request);
    EXPECT_THROW(task.execute(), json::type_error);
}

}  // namespace
}  // namespace czs
