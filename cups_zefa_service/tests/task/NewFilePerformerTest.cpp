#include "task/NewFilePerformer.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <unistd.h>

#include "support/LogCapture.h"
#include "TaskTestSupport.h"

namespace czs {
namespace {

using nlohmann::json;

RawStreamData bytesOf(const std::string& s) {
    return RawStreamData(s.begin(), s.end());
}

json announcementData(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> text;
    EXPECT_TRUE(base64::decode(payload, text));
    const json msg = json::parse(text.begin(), text.end());
    EXPECT_EQ(msg["method"], "sendfile");
    EXPECT_EQ(msg["type"], "notification");
    EXPECT_EQ(msg["context"], "cups");
    return msg["data"];
}

class NewFilePerformerTest : public ::testing::Test {
protected:
    test::LogCapture log;
    test::TempSpool spool;
    PrintFileRegistry registry;
    NewFilePerformer performer{spool.path(), registry};
    std::string file = spool.write("job-1", {'%', 'P', 'D', 'F'});

    std::vector<uint8_t> announce(const json& j) {
        performer.setData(bytesOf(j.dump()));
        return performer.createMessage();
    }
};

TEST_F(NewFilePerformerTest, AbspathBecomesIdAndOtherMembersStay) {
    const auto payload = announce({{"abspath", file}, {"job-name", "report"}});
    ASSERT_FALSE(payload.empty());
    const json data = announcementData(payload);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data["job-name"], "report");
    const std::string id = data["id"];
    EXPECT_EQ(registry.findFile(id), file);
    EXPECT_EQ(log.text(), "");  // nothing logged on success
}

TEST_F(NewFilePerformerTest, ExistingIdIsReplaced) {
    const json data = announcementData(announce({{"abspath", file}, {"id", "host-chosen"}}));
    EXPECT_NE(data["id"], "host-chosen");
    EXPECT_FALSE(registry.findFile("host-chosen"));
    EXPECT_TRUE(registry.findFile(data["id"]));
}

TEST_F(NewFilePerformerTest, SamePathTwiceGetsTwoIds) {
    const json a = announcementData(announce({{"abspath", file}}));
    const json b = announcementData(announce({{"abspath", file}}));
    EXPECT_NE(a["id"], b["id"]);
    EXPECT_EQ(registry.expire(PrintFileRegistry::Clock::time_point::max(), nullptr), 2u);
}

TEST_F(NewFilePerformerTest, IdentifiersAreVersionFourUuids) {
    const std::regex pattern("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = NewFilePerformer::formatUuid(NewFilePerformer::generateUuid());
        EXPECT_TRUE(std::regex_match(id, pattern)) << id;
        EXPECT_EQ(id[14], '4');
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(NewFilePerformer::formatUuid(
                  {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x46, 0x07, 0x88, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0xff}),
              "00010203-0405-4607-8809-0a0b0c0d0eff");
}

TEST_F(NewFilePerformerTest, EmptyAnnouncementsAreLoggedAndStillSent) {
    for (const char* text : {"null", "{}", "[]"}) {
        performer.setData(bytesOf(text));
        const auto payload = performer.createMessage();
        ASSERT_FALSE(payload.empty()) << text;
        EXPECT_EQ(announcementData(payload), json::parse(text)) << text;
    }
    EXPECT_EQ(log.count("[NewFilePerformer]:[modifyJson]: Json empty\n"), 3u);
    EXPECT_EQ(registry.expire(PrintFileRegistry::Clock::time_point::max(), nullptr), 0u);  // nothing recorded
}

TEST_F(NewFilePerformerTest, EmptyBytesKeepThePreviousAnnouncement) {
    performer.setData(bytesOf(R"({"abspath":"x"})"));
    performer.setData({});
    EXPECT_EQ(performer.json(), json({{"abspath", "x"}}));
}

TEST_F(NewFilePerformerTest, TypeErrorsLeaveThePerformer) {
    const auto typeErrorId = [&](const std::string& text) {
        performer.setData(bytesOf(text));
        try {
            performer.createMessage();
        } catch (const json::type_error& e) {
            return e.id;
        }
        return 0;
    };
    EXPECT_EQ(typeErrorId(R"({"abspath":42})"), 302);
    EXPECT_EQ(typeErrorId(R"({"other":1})"), 302);
    EXPECT_TRUE(performer.json()["abspath"].is_null());  // inserted by the index access
    EXPECT_EQ(typeErrorId("[1]"), 305);
    EXPECT_EQ(typeErrorId(R"("text")"), 305);
    EXPECT_EQ(typeErrorId("7"), 305);
    EXPECT_EQ(typeErrorId("true"), 305);
    EXPECT_EQ(registry.expire(PrintFileRegistry::Clock::time_point::max(), nullptr), 0u);  // nothing recorded
}

TEST_F(NewFilePerformerTest, OnlyRegularFilesInsideTheSpoolAreAnnounced) {
    const std::string outside = "/etc/passwd";
    ::symlink(outside.c_str(), (spool.path() + "/link").c_str());
    ::mkdir((spool.path() + "/sub").c_str(), 0700);
    const std::string refused[] = {
        outside,
        spool.path() + "/../" + spool.path().substr(spool.path().rfind('/') + 1) + "/../../etc/passwd",
        spool.path() + "/link",
        spool.path() + "/sub",
        spool.path() + "/missing",
        spool.path(),
        "",
        "job-1",                          // relative: resolved against the daemon's directory, not the spool
        file + std::string("\0.pdf", 5),  // the file system would see only the part before the NUL
    };
    for (const auto& path : refused) {
        EXPECT_TRUE(announce({{"abspath", path}}).empty()) << path;
    }
    EXPECT_EQ(registry.expire(PrintFileRegistry::Clock::time_point::max(), nullptr), 0u);  // nothing recorded
    EXPECT_EQ(log.count("[NewFilePerformer]:[modifyJson]: refusing print file "), std::size(refused));

    // A path that wanders but ends inside the spool is recorded resolved.
    const json data = announcementData(announce({{"abspath", spool.path() + "/sub/../job-1"}}));
    EXPECT_EQ(registry.findFile(data["id"]), file);
}

TEST_F(NewFilePerformerTest, SpoolDirectoryMustBePrivate) {
    ASSERT_EQ(::chmod(spool.path().c_str(), 0777), 0);
    EXPECT_TRUE(announce({{"abspath", file}}).empty());
    EXPECT_TRUE(log.contains("is missing or not private"));
    ASSERT_EQ(::chmod(spool.path().c_str(), 0700), 0);
    EXPECT_FALSE(announce({{"abspath", file}}).empty());

    NewFilePerformer nowhere("/nonexistent/spool", registry);
    nowhere.setData(bytesOf(R"({"abspath":"/nonexistent/spool/x"})"));
    EXPECT_TRUE(nowhere.createMessage().empty());
}

}  // namespace
}  // namespace czs
