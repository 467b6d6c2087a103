// The daemon's logging routine: tag and operation shape, untagged lines,
// lines longer than the stack buffer, and the level filter.
#include "common/Log.h"

#include "../support/LogCapture.h"

#include <liblog/logs_cli.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

TEST(LogLine, TaggedUntaggedAndFiltered) {
    czs::test::LogCapture cap;
    static constexpr const char* kLogTag = "TaskUpdatePrinters";
    CZS_LOG_INFO("execute", "executing task\n");
    CZS_LOG_ERROR("parse", "bad value %d of %s\n", 7, "x");
    czs::logLine(czs::kLogInfo, nullptr, nullptr, "got signal %d\n", 15);
    czs::logLine(8, kLogTag, "hidden", "level 8 is not in the default mask\n");
    EXPECT_EQ(bodies(cap),
              "[TaskUpdatePrinters]:[execute]: executing task\n"
              "[TaskUpdatePrinters]:[parse]: bad value 7 of x\n"
              "got signal 15\n");
    EXPECT_NE(cap.text().find("] [ERROR] [TaskUpdatePrinters]:[parse]"), std::string::npos);
}

TEST(LogLine, LongLineIsWrittenWhole) {
    czs::test::LogCapture cap;
    std::string big(5000, 'z');
    czs::logLine(czs::kLogError, "ChunkPerformer", "read", "%s|end\n", big.c_str());
    std::string text = cap.text();
    EXPECT_NE(text.find("[ChunkPerformer]:[read]: " + big + "|end\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

}  // namespace
