#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Config.h"
#include "LogCapture.h"

namespace qmss {
namespace {

using test::LogCapture;
using test::TempDir;
using test::write_text;

std::optional<std::string> scan(std::vector<const char*> args) {
    args.insert(args.begin(), "quor-mounting-shdir-service");
    return scan_arguments(static_cast<int>(args.size()), args.data());
}

TEST(ScanArguments, OptionsAndWarnings) {
    LogCapture log;
    EXPECT_FALSE(scan({}).has_value());
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(scan({"-c"}).has_value());
    EXPECT_TRUE(log.has(LogLevel::Warning, "Unknown argument 1: -c\n"));

    log.clear();
    EXPECT_EQ(scan({"-c", "/a.yaml", "-c", "/b.yaml"}), "/b.yaml");
    EXPECT_TRUE(log.lines().empty());

    // Unknown arguments are skipped, the scan goes on; indices count from 1.
    EXPECT_EQ(scan({"-x", "-c", "/a.yaml", "tail"}), "/a.yaml");
    EXPECT_TRUE(log.has(LogLevel::Warning, "Unknown argument 1: -x\n"));
    EXPECT_TRUE(log.has(LogLevel::Warning, "Unknown argument 4: tail\n"));
}

class ParseConfig : public ::testing::Test {
protected:
    ServiceConfig parse(const std::string& yaml) {
        std::string path = dir.path() + "/c.yaml";
        write_text(path, yaml);
        return parse_config(path);
    }
    TempDir dir;
    LogCapture log;
};

TEST_F(ParseConfig, AllKeys) {
    ServiceConfig c = parse(
        "debug: yes\nmount_dir: /srv/$HOME/x\nuse_locks: on\ngui_optimize: false\n"
        "unmount_task_timeout: 7\nmount_timeout: 12\nunmount_upload_timeout: 9\nunmount_on_logout: no\n"
        "other: 1\n");
    EXPECT_TRUE(c.debug);
    EXPECT_EQ(c.mount_dir, "/srv/$HOME/x");
    EXPECT_TRUE(c.use_locks);
    EXPECT_FALSE(c.gui_optimize);
    EXPECT_EQ(c.unmount_task_timeout, 7u);
    EXPECT_EQ(c.mount_timeout, 12u);
    EXPECT_EQ(c.unmount_upload_timeout, 9u);
    EXPECT_FALSE(c.unmount_on_logout);
    EXPECT_TRUE(log.has(LogLevel::Info, "Parsing config file " + dir.path() + "/c.yaml\n"));
}

TEST_F(ParseConfig, ValuesOfTheWrongKindKeepDefaults) {
    ServiceConfig c = parse("debug: maybe\nmount_dir: [a, b]\nuse_locks: 3\nunmount_task_timeout: -5\n");
    EXPECT_FALSE(c.debug);
    EXPECT_EQ(c.mount_dir, "$HOME/davfs/");
    EXPECT_FALSE(c.use_locks);
    EXPECT_TRUE(c.gui_optimize);
    EXPECT_EQ(c.unmount_task_timeout, 40u);
    EXPECT_EQ(parse("unmount_task_timeout: 5s\n").unmount_task_timeout, 40u);
    EXPECT_EQ(parse("unmount_task_timeout: 0\n").unmount_task_timeout, 0u);
    EXPECT_EQ(parse("mount_timeout: -1\n").mount_timeout, 30u);
    EXPECT_EQ(parse("mount_timeout: 9x\n").mount_timeout, 30u);
    EXPECT_FALSE(log.anyContaining("Error while parse"));
}

// Each key that did not convert is named once, as a warning; keys that did,
// and a key left empty, are not.
TEST_F(ParseConfig, AValueNotUnderstoodIsNamed) {
    parse("debug: maybe\nmount_dir: [a, b]\nuse_locks: 3\ngui_optimize: false\nunmount_task_timeout: -5\n");
    const std::string path = dir.path() + "/c.yaml";
    for (const char* key : {"debug", "mount_dir", "use_locks", "unmount_task_timeout"}) {
        EXPECT_TRUE(log.has(LogLevel::Warning, "Warning: " + path + ": the value of " + key +
                                                   " is not understood, it keeps its default\n"))
            << key;
    }
    EXPECT_FALSE(log.anyContaining("the value of gui_optimize"));
    log.clear();
    parse("mount_dir:\nunmount_task_timeout: 7\n");
    EXPECT_FALSE(log.anyContaining("is not understood"));
}

TEST_F(ParseConfig, EmptyMountDirReadsAsNull) {
    EXPECT_EQ(parse("mount_dir:\n").mount_dir, "null");
}

TEST_F(ParseConfig, BrokenFilesGiveDefaultsAndOneErrorLine) {
    for (const std::string& yaml : {std::string("debug: [unclosed\n"), std::string("just a scalar\n")}) {
        log.clear();
        ServiceConfig c = parse(yaml);
        EXPECT_FALSE(c.debug);
        EXPECT_EQ(c.mount_dir, "$HOME/davfs/");
        EXPECT_EQ(c.unmount_task_timeout, 40u);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 2u) << yaml;
        EXPECT_EQ(lines[1].first, LogLevel::Error);
        EXPECT_EQ(lines[1].second.rfind("Error while parse configuration file " + dir.path() + "/c.yaml: ", 0), 0u);
    }
    log.clear();
    parse_config(dir.path() + "/missing.yaml");
    EXPECT_TRUE(log.anyContaining("Error while parse configuration file " + dir.path() + "/missing.yaml: "));
}

TEST(LogConfig, InfoLinesOneForEachKey) {
    LogCapture log;
    ServiceConfig c;
    c.debug = true;
    log_config(c);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], std::make_pair(LogLevel::Info, std::string("Config debug 1\n")));
    EXPECT_EQ(lines[1].second, "Config mount_dir $HOME/davfs/\n");
    EXPECT_EQ(lines[2].second, "Config use_locks is disabled\n");
    EXPECT_EQ(lines[3].second, "Config gui_optimize is enabled\n");
    EXPECT_EQ(lines[4].second, "Config unmount_task_timeout is 40\n");
    // The keys added since the first five follow them, one line each.
    EXPECT_NE(lines[5].second.find("mount_timeout"), std::string::npos);
    EXPECT_NE(lines[6].second.find("unmount_upload_timeout"), std::string::npos);
    EXPECT_NE(lines[7].second.find("unmount_on_logout"), std::string::npos);
}

TEST(RetryPeriod, IsTheConfiguredPauseButNeverZero) {
    ServiceConfig config;
    EXPECT_EQ(retry_period(config), std::chrono::seconds(40));
    config.unmount_task_timeout = 5;
    EXPECT_EQ(retry_period(config), std::chrono::seconds(5));
    config.unmount_task_timeout = 0;
    EXPECT_EQ(retry_period(config), std::chrono::seconds(1));
}

TEST(EnsureRunDir, CreatesOrResetsModeExactly) {
    LogCapture log;
    TempDir dir;
    std::string run = dir.path() + "/var/run/orvanta";
    ensure_run_dir(run);
    struct stat st {};
    ASSERT_EQ(stat(run.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    chmod(run.c_str(), 01755);
    ensure_run_dir(run);
    ASSERT_EQ(stat(run.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    EXPECT_TRUE(log.lines().empty());

    // A parent that is a file: creation fails with one warning.
    write_text(dir.path() + "/file", "x");
    ensure_run_dir(dir.path() + "/file/orvanta");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, LogLevel::Warning);
}

}  // namespace
}  // namespace qmss
