#include "task/ChunkPerformer.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>

#include "support/LogCapture.h"
#include "TaskTestSupport.h"

namespace czs {
namespace {

using nlohmann::json;

json request(const json& data) {
    return {{"context", "cups"}, {"method", "sendfile"}, {"type", "request"}, {"data", data}};
}

// The response's JSON text (checked to be exactly the compact key-sorted form).
json responseOf(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> text;
    EXPECT_TRUE(base64::decode(payload, text));
    const std::string s(text.begin(), text.end());
    const json j = json::parse(s);
    EXPECT_EQ(s, j.dump());
    EXPECT_EQ(j["method"], "sendfile");
    EXPECT_EQ(j["type"], "response");
    EXPECT_EQ(j["context"], "cups");
    return j["data"];
}

class ChunkPerformerTest : public ::testing::Test {
protected:
    test::LogCapture log;
    test::TempSpool spool;
    PrintFileRegistry registry;
    ChunkPerformer performer{registry};

    void SetUp() override {
        registry.addFile("ten", spool.write("ten", {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
        registry.addFile("other", spool.write("other", {'a', 'b', 'c', 'd', 'e', 'f'}));
    }

    // The payload of the response frame (empty when there is no reply).
    std::vector<uint8_t> ask(const json& data) {
        performer.setRequest(request(data));
        return payloadOf(performer.createResponse());
    }
    static std::vector<uint8_t> payloadOf(Reply reply) {
        if (reply.empty()) return {};
        const std::vector<uint8_t> image = test::imageOf(reply);
        EXPECT_GE(image.size(), 13u);
        return {image.begin() + 10, image.end() - 3};
    }
    json askOk(const json& data) {
        const auto payload = ask(data);
        EXPECT_FALSE(payload.empty()) << data.dump();
        return payload.empty() ? json() : responseOf(payload);
    }
};

TEST_F(ChunkPerformerTest, TenByteFileInThreePieces) {
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 0}, {"size", 4}}),
              json({{"chunk", "MDEyMw=="}, {"id", "ten"}, {"offset", 0}, {"size", 4}}));
    EXPECT_TRUE(performer.isOpen());
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 4}, {"size", 4}})["chunk"], "NDU2Nw==");
    EXPECT_TRUE(performer.isOpen());
    EXPECT_EQ(log.count("Overall time was"), 0u);
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 8}, {"size", 2}})["chunk"], "ODk=");
    EXPECT_FALSE(performer.isOpen());
    EXPECT_EQ(log.count("[ChunkPerformer]:[close]: Overall time was "), 1u);
    EXPECT_TRUE(log.contains("INFO"));
}

TEST_F(ChunkPerformerTest, ReadPastTheEndIsZeroPaddedAndCloses) {
    const json data = askOk({{"id", "ten"}, {"offset", 8}, {"size", 4}});
    EXPECT_EQ(data["chunk"], "ODkAAA==");  // "89" then two zero bytes
    EXPECT_EQ(data["size"], 4);
    EXPECT_FALSE(performer.isOpen());
}

TEST_F(ChunkPerformerTest, RequestsInFlightPastTheEndOfAFetchedFileAreStillAnswered) {
    // A host that does not know the size keeps requests in flight past the
    // end; the file is gone after its last byte, yet those must get the zeros
    // a read past the end gives, or the host waits for them for ever.
    askOk({{"id", "ten"}, {"offset", 0}, {"size", 8}});
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 8}, {"size", 8}})["chunk"], "ODkAAAAAAAA=");
    EXPECT_FALSE(registry.findFile("ten"));
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 16}, {"size", 8}})["chunk"], "AAAAAAAAAAA=");
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 10}, {"size", 2}})["chunk"], "AAA=");
    // Bytes the file had are never made up once it is gone.
    EXPECT_TRUE(ask({{"id", "ten"}, {"offset", 4}, {"size", 4}}).empty());
    EXPECT_TRUE(ask({{"id", "never"}, {"offset", 16}, {"size", 4}}).empty());
    EXPECT_EQ(log.count("Overall time was"), 1u);
}

TEST_F(ChunkPerformerTest, RequestWithoutDataRepeatsThePreviousOne) {
    askOk({{"id", "ten"}, {"offset", 4}, {"size", 2}});
    performer.setRequest({{"context", "cups"}, {"method", "sendfile"}, {"type", "request"}});
    const auto again = payloadOf(performer.createResponse());
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(responseOf(again), json({{"chunk", "NDU="}, {"id", "ten"}, {"offset", 4}, {"size", 2}}));
    EXPECT_TRUE(performer.isOpen());
    // Once the last byte was asked for, the file is done with: a repeat of
    // that request finds nothing any more.
    askOk({{"id", "ten"}, {"offset", 8}, {"size", 2}});
    performer.setRequest({{"context", "cups"}, {"method", "sendfile"}, {"type", "request"}});
    EXPECT_TRUE(performer.createResponse().empty());
    EXPECT_FALSE(registry.findFile("ten"));
    EXPECT_EQ(log.count("Overall time was"), 1u);
}

TEST_F(ChunkPerformerTest, NothingToSendIsLoggedWithoutReply) {
    EXPECT_TRUE(ask({{"id", "ten"}, {"offset", 0}, {"size", 0}}).empty());
    EXPECT_TRUE(ask({{"id", "ten"}, {"offset", 0}}).empty());                  // size -1
    EXPECT_TRUE(ask({{"id", "nobody"}, {"offset", 0}, {"size", 4}}).empty());  // unknown id
    EXPECT_TRUE(ask({{"offset", 0}, {"size", 4}}).empty());                    // empty id
    EXPECT_EQ(log.count("[ChunkPerformer]:[createResponse]: base64 chunk is empty\n"), 4u);
}

TEST_F(ChunkPerformerTest, LibraryTypeErrorsPropagate) {
    const auto typeErrorId = [&](const json& message) {
        try {
            performer.setRequest(message);
        } catch (const json::type_error& e) {
            return e.id;
        }
        return 0;
    };
    EXPECT_EQ(typeErrorId(request({{"id", "ten"}, {"offset", 0}, {"size", "10"}})), 302);
    EXPECT_EQ(typeErrorId(request({{"id", 5}})), 302);
    EXPECT_EQ(typeErrorId(request(json::array({1}))), 306);
    // Booleans and fractions convert as the library would.
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 1.9}, {"size", true}})["chunk"], "MQ==");  // "1"
}

TEST_F(ChunkPerformerTest, RequestForAnotherIdIsServedFromThatFile) {
    askOk({{"id", "ten"}, {"offset", 0}, {"size", 4}});
    ASSERT_TRUE(performer.isOpen());
    const json data = askOk({{"id", "other"}, {"offset", 0}, {"size", 3}});
    EXPECT_EQ(data["chunk"], "YWJj");  // "abc", not "012"
    EXPECT_EQ(performer.openId(), "other");
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 4}, {"size", 2}})["chunk"], "NDU=");  // "45"
}

TEST_F(ChunkPerformerTest, NegativeOversizedAndUnrepresentableRequestsAreRejected) {
    const json bad[] = {
        {{"id", "ten"}, {"offset", 0}, {"size", -2}},
        {{"id", "ten"}, {"offset", -1}, {"size", 4}},
        {{"id", "ten"}, {"size", 4}},  // offset absent
        {{"id", "ten"}, {"offset", 0}, {"size", ChunkPerformer::kMaxChunkSize + 1}},
        {{"id", "ten"}, {"offset", 4294967296LL + 4}, {"size", 4}},  // would wrap to 4
        {{"id", "ten"}, {"offset", 0}, {"size", 1e300}},
    };
    for (const auto& data : bad)
        EXPECT_TRUE(ask(data).empty()) << data.dump();
    EXPECT_EQ(log.count("[ChunkPerformer]:[createResponse]: rejecting request for ten"), std::size(bad));
    EXPECT_EQ(log.count("base64 chunk is empty"), 0u);
    // Nothing is left failed: the next good request is served normally.
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 4}, {"size", 4}})["chunk"], "NDU2Nw==");
}

TEST_F(ChunkPerformerTest, FailedOpenDoesNotWedgeThePerformer) {
    ASSERT_EQ(::mkfifo((spool.path() + "/fifo").c_str(), 0600), 0);
    registry.addFile("fifo", spool.path() + "/fifo");
    registry.addFile("gone", spool.path() + "/gone");
    EXPECT_TRUE(ask({{"id", "fifo"}, {"offset", 0}, {"size", 4}}).empty());  // must not hang either
    EXPECT_TRUE(ask({{"id", "gone"}, {"offset", 0}, {"size", 4}}).empty());
    EXPECT_FALSE(performer.isOpen());
    EXPECT_EQ(performer.fileSize(), 0);
    EXPECT_TRUE(log.contains("[ChunkPerformer]:[openFile]: Unable to open file " + spool.path() + "/fifo\n"));
    EXPECT_TRUE(log.contains("[ChunkPerformer]:[read]: Unable to read chunk\n"));
    EXPECT_EQ(askOk({{"id", "ten"}, {"offset", 0}, {"size", 4}})["chunk"], "MDEyMw==");
}

TEST_F(ChunkPerformerTest, RandomFileInRandomPiecesReassemblesExactly) {
    std::mt19937 rng(7);
    std::vector<uint8_t> content(3 * 1024 * 1024 + 17);
    for (auto& b : content)
        b = static_cast<uint8_t>(rng());
    registry.addFile("big", spool.write("big", content));

    std::vector<uint8_t> got;
    std::uniform_int_distribution<int32_t> piece(1, 300000);
    int requests = 0;
    while (got.size() < content.size()) {
        const int32_t size = std::min<int32_t>(piece(rng), static_cast<int32_t>(content.size() - got.size()));
        const json data = askOk({{"id", "big"}, {"offset", got.size()}, {"size", size}});
        ASSERT_EQ(data["offset"], got.size());
        ASSERT_EQ(data["size"], size);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(base64::decode(data["chunk"].get<std::string>(), bytes));
        ASSERT_EQ(bytes.size(), static_cast<size_t>(size));
        got.insert(got.end(), bytes.begin(), bytes.end());
        ++requests;
    }
    EXPECT_EQ(got, content);
    EXPECT_FALSE(performer.isOpen());
    EXPECT_EQ(log.count("Overall time was"), 1u);  // opened once for the whole transfer
    EXPECT_GT(requests, 10);
}

TEST_F(ChunkPerformerTest, SplicedResponseEqualsTheLibrarySerialisation) {
    // Ids with characters the JSON writer escapes must not disturb the splice.
    registry.addFile("we\"ird\\\"chunk\":\"\"", spool.path() + "/ten");
    const std::string id = "we\"ird\\\"chunk\":\"\"";
    const json data = askOk({{"id", id}, {"offset", 2}, {"size", 5}});
    EXPECT_EQ(data, json({{"chunk", "MjM0NTY="}, {"id", id}, {"offset", 2}, {"size", 5}}));  // "23456"
}

}  // namespace
}  // namespace czs
