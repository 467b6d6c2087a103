// The library's logger: standard-output prefix, labels, handler levels and
// the debug switch.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>
#include <unistd.h>

#include "shm_internal.h"

namespace {

struct Captured {
    int level;
    std::string text;
};
std::vector<Captured> g_lines;

void capture(int level, const char* fmt, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    g_lines.push_back({level, buf});
}

// Runs `fn` with standard output redirected to a temporary file and returns
// what it printed.
template <class F>
std::string stdout_of(F fn) {
    fflush(stdout);
    FILE* tmp = tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0)
        out.append(buf, n);
    fclose(tmp);
    return out;
}

class Logger : public ::testing::Test {
protected:
    void SetUp() override { g_lines.clear(); }
    void TearDown() override {
        shm_log_set_handler(nullptr, SHM_LOG_ERR, SHM_LOG_INFO, SHM_LOG_DBG);
        shm_log_set_debug(0);
    }
};

TEST_F(Logger, StdoutLineHasDatedPrefixAndLabel) {
    shm_log_set_debug(1);
    std::string out = stdout_of([] {
        shmi_log(SHM_KIND_ERR, "error opening '%s' (%d): %s\n", "/x", 2, "No such");
        shmi_log(SHM_KIND_INFO, "mb %p unbind\n", (void*)0x10);
        shmi_log(SHM_KIND_DBG, "started hup listener\n");
        shmi_log(7, "odd kind\n");
    });
    const std::string prefix = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\] )";
    std::regex re("^" + prefix + R"(\[ERR\] error opening '/x' \(2\): No such\n)" + prefix +
                  R"(\[INFO\] mb 0x10 unbind\n)" + prefix + R"(\[DBG\] started hup listener\n)" + prefix +
                  R"(\[   \] odd kind\n$)");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
}

TEST_F(Logger, MessagesWithoutNewlineDoNotEndTheLine) {
    std::string out =
        stdout_of([] { shmi_log(SHM_KIND_ERR, "error starting shm_srv (%d): %s", 12, "Cannot allocate memory"); });
    ASSERT_FALSE(out.empty());
    EXPECT_NE(out.back(), '\n');
    EXPECT_NE(out.find("[ERR] error starting shm_srv (12): Cannot allocate memory"), std::string::npos);
}

TEST_F(Logger, DebugIsOffUntilSwitchedOn) {
    std::string out = stdout_of([] { shmi_log(SHM_KIND_DBG, "hidden\n"); });
    EXPECT_EQ(out, "");
    shm_log_set_handler(capture, 3, 6, 7);
    shmi_log(SHM_KIND_DBG, "still hidden\n");
    EXPECT_TRUE(g_lines.empty());
    shm_log_set_debug(1);
    shmi_log(SHM_KIND_DBG, "shown %d\n", 1);
    shm_log_set_debug(0);
    shmi_log(SHM_KIND_DBG, "hidden again\n");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].text, "shown 1\n");
}

TEST_F(Logger, HandlerGetsConfiguredLevelsAndNothingOnStdout) {
    shm_log_set_debug(1);
    std::string out = stdout_of([] {
        shm_log_set_handler(capture, 3, 6, 7);
        shmi_log(SHM_KIND_ERR, "e %s\n", "x");
        shmi_log(SHM_KIND_INFO, "i\n");
        shmi_log(SHM_KIND_DBG, "d\n");
    });
    EXPECT_EQ(out, "");
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_lines[0].level, 3);
    EXPECT_EQ(g_lines[0].text, "e x\n");
    EXPECT_EQ(g_lines[1].level, 6);
    EXPECT_EQ(g_lines[2].level, 7);
    // Defaults are 0, 1, 2.
    shm_log_set_handler(capture, SHM_LOG_ERR, SHM_LOG_INFO, SHM_LOG_DBG);
    g_lines.clear();
    shmi_log(SHM_KIND_ERR, "a\n");
    shmi_log(SHM_KIND_INFO, "b\n");
    shmi_log(SHM_KIND_DBG, "c\n");
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_lines[0].level, 0);
    EXPECT_EQ(g_lines[1].level, 1);
    EXPECT_EQ(g_lines[2].level, 2);
}

// The user-data handler gets its pointer back on every message, and either
// setter replaces the other's handler rather than running both.
TEST_F(Logger, DataHandlerGetsItsPointerAndReplacesThePlainOne) {
    struct Sink {
        std::vector<Captured> lines;
    } sink;
    auto toSink = [](void* user, int level, const char* fmt, va_list ap) {
        char buf[256];
        vsnprintf(buf, sizeof buf, fmt, ap);
        static_cast<Sink*>(user)->lines.push_back({level, buf});
    };
    shm_log_set_handler(capture, 3, 6, 7);
    std::string out = stdout_of([&] {
        shm_log_set_handler_data(toSink, &sink, 30, 60, 70);
        shmi_log(SHM_KIND_ERR, "e %d\n", 1);
        shmi_log(SHM_KIND_INFO, "i\n");
    });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(g_lines.empty());
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].level, 30);
    EXPECT_EQ(sink.lines[0].text, "e 1\n");
    EXPECT_EQ(sink.lines[1].level, 60);

    shm_log_set_handler(capture, 3, 6, 7);
    shmi_log(SHM_KIND_ERR, "back\n");
    EXPECT_EQ(sink.lines.size(), 2u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].level, 3);
}

TEST_F(Logger, OverlongFormatIsCutWithoutAHalfConversion) {
    // The 39-byte "[date time.ms zone] [INFO] " prefix leaves 985 bytes: the
    // cut falls right after the '%'.
    std::string fmt(984, 'a');
    fmt += "%s tail";
    std::string out = stdout_of([&] { shmi_log(SHM_KIND_INFO, fmt.c_str(), "ARG"); });
    EXPECT_EQ(out.size(), 39u + 984u) << out;
    EXPECT_EQ(out.back(), 'a');
    EXPECT_NE(out.find("[INFO] aaaa"), std::string::npos);
}

}  // namespace
