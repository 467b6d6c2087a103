// The log front: tags taken from the code that logs, levels a sink turns
// off are never written, long texts arrive whole; the system-log sink's
// severities and debug gate.
#include "runtime/Log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

#include "LogRecorder.h"
#include "runtime/LogSinks.h"

namespace {

class Widget {
public:
    static constexpr const char* kLogTag = "Widget";
    void open() { ORV_LOG(Info, "opened %d\n", 3); }
    void onClosed() { ORV_LOG(Error, "closed\n"); }
};

void freeFunction() {
    ORV_LOG(Warning, "free\n");
}

// Writes nothing below Info, and counts what reaches it.
class InfoAndUp final : public orv::LogSink {
public:
    bool enabled(orv::LogLevel level) const noexcept override { return level != orv::LogLevel::Debug; }
    void write(orv::LogLevel level, const orv::LogTag&, std::string_view) noexcept override {
        ++written;
        debugSeen = debugSeen || level == orv::LogLevel::Debug;
    }
    int written = 0;
    bool debugSeen = false;
};

TEST(LogFront, TagsNameTheClassAndTheFunctionThatLogs) {
    orv::test::LogRecorder rec;
    Widget w;
    w.open();
    w.onClosed();
    freeFunction();
    const auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].owner, "Widget");
    EXPECT_EQ(lines[0].function, "open");
    EXPECT_EQ(lines[0].text, "opened 3\n");
    EXPECT_EQ(lines[0].level, orv::LogLevel::Info);
    EXPECT_EQ(lines[1].function, "onClosed");
    EXPECT_EQ(lines[1].level, orv::LogLevel::Error);
    EXPECT_EQ(lines[2].owner, "");  // free code names no owner
    EXPECT_EQ(lines[2].function, "freeFunction");
}

TEST(LogFront, DisabledLevelsAreDroppedAndLongTextsArriveWhole) {
    InfoAndUp sink;
    orv::LogSink* before = orv::setLogSink(&sink);
    EXPECT_FALSE(orv::logEnabled(orv::LogLevel::Debug));
    ORV_LOG(Debug, "never\n");
    ORV_LOG(Info, "once\n");
    EXPECT_EQ(sink.written, 1);
    EXPECT_FALSE(sink.debugSeen);
    orv::setLogSink(before);

    orv::test::LogRecorder rec;
    const std::string big(3000, 'x');
    ORV_LOG(Info, "%s|end\n", big.c_str());
    ASSERT_EQ(rec.lines().size(), 1u);
    EXPECT_EQ(rec.lines()[0].text, big + "|end\n");

    orv::LogSink* mine = orv::setLogSink(nullptr);
    ORV_LOG(Error, "nowhere\n");  // no sink: dropped, not a crash
    orv::setLogSink(mine);
    EXPECT_EQ(rec.lines().size(), 1u);
}

TEST(SyslogSink, SeveritiesAndTheDebugGate) {
    EXPECT_EQ(orv::syslogSeverity(orv::LogLevel::Error), LOG_ERR);
    EXPECT_EQ(orv::syslogSeverity(orv::LogLevel::Warning), LOG_WARNING);
    EXPECT_EQ(orv::syslogSeverity(orv::LogLevel::Info), LOG_INFO);
    EXPECT_EQ(orv::syslogSeverity(orv::LogLevel::Debug), LOG_DEBUG);
    orv::SyslogSink sink;
    EXPECT_TRUE(sink.enabled(orv::LogLevel::Info));
    EXPECT_FALSE(sink.enabled(orv::LogLevel::Debug));
    sink.setDebug(true);
    EXPECT_TRUE(sink.enabled(orv::LogLevel::Debug));
    sink.setDebug(false);
    EXPECT_FALSE(sink.enabled(orv::LogLevel::Debug));
}

}  // namespace
