// What leaves the spool and when: fetched files at once, unfetched ones after
// the retention, and never a file that another live announcement still
// names, a file that replaced the announced one, a link, or anything the
// daemon did not register.
#include "task/SpoolRetention.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "support/LogCapture.h"
#include "TaskTestSupport.h"
#include "task/ChunkPerformer.h"
#include "task/NewFilePerformer.h"

namespace czs {
namespace {

using nlohmann::json;
using Clock = PrintFileRegistry::Clock;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class SpoolRetentionTest : public ::testing::Test {
protected:
    test::LogCapture log;
    test::TempSpool spool;
    PrintFileRegistry registry;
    NewFilePerformer announcer{spool.path(), registry};
    ChunkPerformer chunks{registry, ChunkPerformer::kMaxChunkSize, spool.path()};

    // Announces the file as the backend would; returns its id.
    std::string announce(const std::string& path) {
        const std::string line = json{{"abspath", path}}.dump();
        announcer.setData(RawStreamData(line.begin(), line.end()));
        const std::vector<uint8_t> payload = announcer.createMessage();
        EXPECT_FALSE(payload.empty());
        std::vector<uint8_t> text;
        EXPECT_TRUE(base64::decode(payload, text));
        return json::parse(text)["data"]["id"];
    }
    bool fetch(const std::string& id, int offset, int size) {
        chunks.setRequest({{"context", "cups"},
                           {"method", "sendfile"},
                           {"type", "request"},
                           {"data", {{"id", id}, {"offset", offset}, {"size", size}}}});
        return !chunks.createResponse().empty();
    }
    static Clock::time_point everything() { return Clock::time_point::max(); }
    SpoolDirectory dir() { return SpoolDirectory(spool.path()); }
};

TEST_F(SpoolRetentionTest, AFileFetchedToItsLastByteGoesAtOnceWithItsEntry) {
    const std::string path = spool.write("job-1", {'a', 'b', 'c', 'd', 'e'});
    const std::string foreign = spool.write("not-ours", {'x'});
    const std::string id = announce(path);
    ASSERT_TRUE(fetch(id, 0, 3));
    EXPECT_TRUE(exists(path));  // not yet: two bytes are still to come
    ASSERT_TRUE(fetch(id, 3, 2));
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(registry.findFile(id));
    EXPECT_TRUE(exists(foreign));
}

TEST_F(SpoolRetentionTest, AReAnnouncedFileStaysWhileItsOtherEntryLives) {
    const std::string path = spool.write("job-2", {'1', '2', '3', '4'});
    const std::string first = announce(path);   // the backend got no answer ...
    const std::string second = announce(path);  // ... and announced again
    ASSERT_TRUE(fetch(second, 0, 4));
    EXPECT_TRUE(exists(path));  // the first id may still be asked for
    ASSERT_TRUE(fetch(first, 0, 4));
    EXPECT_FALSE(exists(path));
}

TEST_F(SpoolRetentionTest, ExpiryRemovesOnlyFilesTheHostWasToldAbout) {
    const std::string told = spool.write("job-told", {'1'});
    const std::string untold = spool.write("job-untold", {'2'});
    const std::string toldId = announce(told);
    const std::string untoldId = announce(untold);
    registry.markAnnounced(toldId);
    SpoolDirectory d = dir();
    EXPECT_EQ(registry.expire(Clock::now() - std::chrono::hours(1), [&](const SpoolFile& f) { d.remove(f); }), 0u);
    EXPECT_EQ(registry.expire(everything(), [&](const SpoolFile& f) { d.remove(f); }), 2u);
    EXPECT_FALSE(exists(told));
    // The backend spools a job whose announcement never arrived anew; this
    // file is its business.
    EXPECT_TRUE(exists(untold));
    EXPECT_FALSE(registry.findFile(untoldId));
}

TEST_F(SpoolRetentionTest, AFileThatReplacedTheAnnouncedOneOrALinkIsLeftInPlace) {
    const std::string path = spool.write("job-3", {'1', '2'});
    const std::string id = announce(path);
    registry.markAnnounced(id);
    // The name now belongs to another file, and a link sits beside it.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    const std::string keep = spool.write("keep", {'k'});
    const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, keep.c_str(), later, 0), 0);
    ASSERT_EQ(::rename(keep.c_str(), path.c_str()), 0);
    SpoolDirectory d = dir();
    registry.expire(everything(), [&](const SpoolFile& f) { d.remove(f); });
    EXPECT_TRUE(exists(path));
    EXPECT_TRUE(log.contains("is no longer the announced file, left in place"));

    const std::string target = spool.write("target", {'t'});
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    ASSERT_EQ(::symlink(target.c_str(), (spool.path() + "/link").c_str()), 0);
    EXPECT_FALSE(d.remove(SpoolFile{spool.path() + "/link", st.st_dev, st.st_ino, st.st_mtim}));
    EXPECT_TRUE(exists(target));
    EXPECT_FALSE(d.remove(SpoolFile{spool.path() + "/../" + "elsewhere", st.st_dev, st.st_ino, st.st_mtim}));
}

TEST_F(SpoolRetentionTest, TheRegistryIsBounded) {
    PrintFileRegistry small(2);
    EXPECT_TRUE(small.addFile("a", "/x/a"));
    EXPECT_TRUE(small.addFile("b", "/x/b"));
    EXPECT_FALSE(small.addFile("c", "/x/c"));
    EXPECT_FALSE(small.findFile("c"));
    EXPECT_TRUE(small.addFile("a", "/x/a2"));  // replacing an entry takes no new room
    small.fileFetched("b", nullptr);
    EXPECT_TRUE(small.addFile("c", "/x/c"));

    // A full registry refuses the announcement, logged, and sends nothing.
    PrintFileRegistry full(0);
    NewFilePerformer refusing(spool.path(), full);
    const std::string line = json{{"abspath", spool.write("job-4", {'1'})}}.dump();
    refusing.setData(RawStreamData(line.begin(), line.end()));
    EXPECT_TRUE(refusing.createMessage().empty());
    EXPECT_TRUE(log.contains("too many print files are waiting for the host"));
}

TEST_F(SpoolRetentionTest, ThePeriodicSweepRemovesAnUnfetchedFileAfterTheRetention) {
    const std::string fresh = spool.write("job-fresh", {'1'});
    const std::string old = spool.write("job-old", {'2'});
    const std::string foreign = spool.write("foreign", {'3'});
    const std::string oldId = announce(old);
    registry.markAnnounced(oldId);
    asio::io_context io;
    SpoolRetention retention(io, registry, std::chrono::milliseconds(300), std::chrono::milliseconds(50), spool.path());
    retention.start();
    io.run_for(std::chrono::milliseconds(150));
    // Announced after the old one had waited a while.
    const std::string freshId = announce(fresh);
    registry.markAnnounced(freshId);
    EXPECT_TRUE(exists(old));
    io.run_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(exists(old));
    EXPECT_TRUE(exists(fresh));
    EXPECT_TRUE(registry.findFile(freshId));
    EXPECT_TRUE(exists(foreign));
    EXPECT_FALSE(registry.findFile(oldId));
}

TEST_F(SpoolRetentionTest, AConfiguredRetentionIsNeverShorterThanAMinute) {
    asio::io_context io;
    SpoolRetention zero(io, registry, std::chrono::minutes(0), spool.path());
    EXPECT_EQ(zero.retention(), std::chrono::minutes(1));
    EXPECT_TRUE(log.contains("retention of 0 minutes raised to 1"));
    SpoolRetention day(io, registry, std::chrono::hours(24), spool.path());
    EXPECT_EQ(day.retention(), std::chrono::hours(24));
    EXPECT_EQ(day.sweepPeriod(), std::chrono::minutes(10));
}

}  // namespace
}  // namespace czs
