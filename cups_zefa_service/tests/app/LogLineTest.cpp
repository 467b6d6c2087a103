// The print daemon's lines through the runtime's log front into liblog's
// file: the "[Class]:[function]: " tag taken from the code that logs, the
// entry point's untagged lines, the level filter, and lines longer than the
// stack buffer.
#include <runtime/Log.h>
#include <runtime/LogSinks.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// Everything after the fixed header of each line.
std::string bodies(const czs::test::LogCapture& cap) {
    std::string out;
    for (const auto& line : cap.lines()) {
        out += line.body + "\n";
    }
    return out;
}

class TaskUpdatePrinters {
public:
    static constexpr const char* kLogTag = "TaskUpdatePrinters";
    void execute() { ORV_LOG(Info, "executing task\n"); }
    void parse() { ORV_LOG(Error, "bad value %d of %s\n", 7, "x"); }
    void quiet() { ORV_LOG(Debug, "debug is not in the default mask\n"); }
    void fromLambda() {
        auto inner = [] { ORV_LOG_AS(Warning, "fromLambda", "named by hand\n"); };
        inner();
    }
};

void entryPoint() {
    ORV_LOG(Info, "got signal %d\n", 15);
}

TEST(LogLine, TagNamesClassAndFunctionAndLevelsMapToTheMask) {
    czs::test::LogCapture cap;
    ASSERT_TRUE(cap.opened());
    TaskUpdatePrinters task;
    task.execute();
    task.parse();
    task.quiet();
    task.fromLambda();
    entryPoint();
    EXPECT_EQ(bodies(cap),
              "[TaskUpdatePrinters]:[execute]: executing task\n"
              "[TaskUpdatePrinters]:[parse]: bad value 7 of x\n"
              "[TaskUpdatePrinters]:[fromLambda]: named by hand\n"
              "got signal 15\n");
    const auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, "INFO");
    EXPECT_EQ(lines[1].level, "ERROR");
    EXPECT_EQ(lines[2].level, "INFO");  // the daemon writes everything but errors at info level
}

TEST(LogLine, LongLineIsWrittenWholeAndNoSinkDropsLines) {
    czs::test::LogCapture cap;
    std::string big(5000, 'z');
    orv::log(orv::LogLevel::Error, orv::LogTag{"ChunkPerformer", "read"}, "%s|end\n", big.c_str());
    std::string text = cap.text();
    EXPECT_NE(text.find("] [ERROR] [ChunkPerformer]:[read]: " + big + "|end\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);

    orv::LogSink* mine = orv::setLogSink(nullptr);
    EXPECT_FALSE(orv::logEnabled(orv::LogLevel::Error));
    entryPoint();
    orv::setLogSink(mine);
    EXPECT_EQ(cap.text(), text);
}

}  // namespace
