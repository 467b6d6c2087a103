// The daemon's logging routine: tag and operation shape, untagged lines,
// lines longer than the stack buffer, and the level filter.
#include "common/Log.h"

#include <liblog/logs_cli.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct LogCapture {
    LogCapture() {
        char tmpl[] = "/tmp/czs_logline.XXXXXX";
        dir = ::mkdtemp(tmpl);
        path = dir + "/d.log";
        log_config cfg;
        log_config_defaults(&cfg);
        cfg.path = path.data();
        EXPECT_EQ(log_open(&cfg), 0);
    }
    ~LogCapture() {
        log_close();
        std::filesystem::remove_all(dir);
    }
    std::string text() const {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Everything after the fixed header "[date tz] [PID:n] [LEVEL] ".
    std::string bodies() const {
        std::string out;
        std::stringstream ss(text());
        for (std::string line; std::getline(ss, line);) {
            size_t at = line.find("] [", line.find("[PID:"));
            out += line.substr(line.find("] ", at + 1) + 2) + "\n";
        }
        return out;
    }
    std::string dir;
    std::string path;
};

TEST(LogLine, TaggedUntaggedAndFiltered) {
    LogCapture cap;
    static constexpr const char* kLogTag = "TaskUpdatePrinters";
    CZS_LOG_INFO("execute", "executing task\n");
    CZS_LOG_ERROR("parse", "bad value %d of %s\n", 7, "x");
    czs::logLine(czs::kLogInfo, nullptr, nullptr, "got signal %d\n", 15);
    czs::logLine(8, kLogTag, "hidden", "level 8 is not in the default mask\n");
    EXPECT_EQ(cap.bodies(),
              "[TaskUpdatePrinters]:[execute]: executing task\n"
              "[TaskUpdatePrinters]:[parse]: bad value 7 of x\n"
              "got signal 15\n");
    EXPECT_NE(cap.text().find("] [ERROR] [TaskUpdatePrinters]:[parse]"), std::string::npos);
}

TEST(LogLine, LongLineIsWrittenWhole) {
    LogCapture cap;
    std::string big(5000, 'z');
    czs::logLine(czs::kLogError, "ChunkPerformer", "read", "%s|end\n", big.c_str());
    std::string text = cap.text();
    EXPECT_NE(text.find("[ChunkPerformer]:[read]: " + big + "|end\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

}  // namespace
