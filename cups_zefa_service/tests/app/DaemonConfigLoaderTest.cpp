#include "app/DaemonConfigLoader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/LogCapture.h"

namespace czs {
namespace {

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/czs_config_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/cups_zefa_service.yaml";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    void write(const std::string& text) { std::ofstream(path_) << text; }

    static void expectDefaults(const DaemonConfig& c) {
        const DaemonConfig d;
        EXPECT_EQ(c.spoolRetention, d.spoolRetention);
        EXPECT_EQ(c.followHostDefault, d.followHostDefault);
        EXPECT_EQ(c.trustedChannelOwners, d.trustedChannelOwners);
        EXPECT_EQ(c.printFormat, PrintFormatSetting::Host);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(ConfigFile, AMissingFileMeansTheDefaultsQuietly) {
    test::LogCapture log;
    expectDefaults(loadDaemonConfig(path_));
    EXPECT_EQ(log.text(), "");
}

TEST_F(ConfigFile, EveryKeyIsReadAndOwnersAreNamesOrUids) {
    test::LogCapture log;
    write(
        "spool_retention_minutes: 90\n"
        "follow_host_default: false\n"
        "trusted_channel_owners: [root, 4321, \"4322\"]\n"
        "some_future_key: 1\n");
    DaemonConfig c = loadDaemonConfig(path_);
    EXPECT_EQ(c.spoolRetention, std::chrono::minutes(90));
    EXPECT_FALSE(c.followHostDefault);
    EXPECT_EQ(c.trustedChannelOwners, (std::vector<uid_t>{0, 4321, 4322}));
    EXPECT_TRUE(log.contains("[DaemonConfig]:[load]: " + path_ +
                             ": spool retention 90 min, follow host default off, 3 trusted channel owners, "
                             "print format host\n"));
}

TEST_F(ConfigFile, PrintFormatTakesEachOfItsFourWords) {
    const std::pair<const char*, PrintFormatSetting> cases[] = {{"host", PrintFormatSetting::Host},
                                                                {"pdf", PrintFormatSetting::Pdf},
                                                                {"ps", PrintFormatSetting::PostScript},
                                                                {"raw", PrintFormatSetting::Raw}};
    for (const auto& [word, setting] : cases) {
        test::LogCapture log;
        write(std::string("print_format: ") + word + "\n");
        EXPECT_EQ(loadDaemonConfig(path_).printFormat, setting) << word;
    }
}

TEST_F(ConfigFile, AnOwnerNameNoUserHasIsLeftOutWithALine) {
    test::LogCapture log;
    write("trusted_channel_owners:\n  - czs-no-such-user\n  - 77\n");
    DaemonConfig c = loadDaemonConfig(path_);
    EXPECT_EQ(c.trustedChannelOwners, (std::vector<uid_t>{77}));
    EXPECT_TRUE(log.contains("czs-no-such-user")) << "the name left out is not logged";
}

TEST_F(ConfigFile, AnUnreadableFileIsLoggedAndIgnoredAsAWhole) {
    const char* bad[] = {
        "spool_retention_minutes: [1\n",  // not YAML
        "- a\n- b\n",                     // not a mapping
    };
    for (const char* text : bad) {
        test::LogCapture log;
        write(text);
        DaemonConfig c = loadDaemonConfig(path_);
        expectDefaults(c);
        EXPECT_TRUE(log.contains("[DaemonConfig]:[load]: " + path_ + " unusable (")) << text;
        EXPECT_TRUE(log.contains("), using the defaults\n")) << text;
    }
}

// A value that does not convert costs that key alone: it is logged, keeps
// its default, and the keys around it still apply.
TEST_F(ConfigFile, ABadValueKeepsItsKeysDefaultAndTheRestApplies) {
    struct Case {
        const char* text;
        const char* key;
    };
    const Case cases[] = {
        {"spool_retention_minutes: -5\nfollow_host_default: false\nprint_format: pdf\n", "spool_retention_minutes"},
        {"spool_retention_minutes: 10\nfollow_host_default: perhaps\nprint_format: pdf\n", "follow_host_default"},
        {"spool_retention_minutes: 10\nfollow_host_default: false\nprint_format: PDF\n", "print_format"},
        {"spool_retention_minutes: 10\nfollow_host_default: false\nprint_format: [pdf]\n", "print_format"},
        {"spool_retention_minutes: 10\nfollow_host_default: false\ntrusted_channel_owners: root\n",
         "trusted_channel_owners"},
        {"spool_retention_minutes: 10\nfollow_host_default: false\ntrusted_channel_owners: [root, [1, 2]]\n",
         "trusted_channel_owners"},
    };
    const DaemonConfig d;
    for (const Case& c : cases) {
        test::LogCapture log;
        write(c.text);
        const DaemonConfig got = loadDaemonConfig(path_);
        const std::string key = c.key;
        EXPECT_TRUE(log.contains("[DaemonConfig]:[load]: " + path_ + ": " + key + ": ")) << c.text << log.text();
        EXPECT_TRUE(log.contains(", using its default\n")) << c.text;
        EXPECT_FALSE(log.contains("unusable")) << c.text;
        EXPECT_EQ(got.spoolRetention, key == "spool_retention_minutes" ? d.spoolRetention : std::chrono::minutes(10))
            << c.text;
        EXPECT_EQ(got.followHostDefault, key == "follow_host_default" ? d.followHostDefault : false) << c.text;
        if (key == "print_format") {
            EXPECT_EQ(got.printFormat, PrintFormatSetting::Host) << c.text;
        }
        if (key == "trusted_channel_owners") {
            EXPECT_EQ(got.trustedChannelOwners, d.trustedChannelOwners) << c.text;
        }
        if (std::string(c.text).find("print_format: pdf") != std::string::npos) {
            EXPECT_EQ(got.printFormat, PrintFormatSetting::Pdf) << c.text;
        }
    }
}

TEST_F(ConfigFile, AnEmptyFileMeansTheDefaults) {
    test::LogCapture log;
    write("");
    expectDefaults(loadDaemonConfig(path_));
    EXPECT_FALSE(log.contains("unusable"));
}

}  // namespace
}  // namespace czs
