#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "davfs/DavfsFiles.h"
#include "LogCapture.h"
#include "SafeFs.h"

namespace qmss {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::read_text;
using test::TempDir;
using test::write_text;

const std::string kCred = "127.0.0.1:9843 \"\" \"\"";

class DavfsFiles : public ::testing::Test {
protected:
    std::string run() {
        ServiceConfig s;
        s.use_locks = use_locks;
        s.gui_optimize = gui_optimize;
        return prepare_davfs_files(s, home.path());
    }
    std::string dir() const { return home.path() + "/.davfs2"; }
    std::string conf() const { return dir() + "/davfs2_orvanta.conf"; }
    std::string secrets() const { return dir() + "/secrets_orvanta"; }
    static unsigned mode(const std::string& p) {
        struct stat st {};
        return lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xffff;
    }
    void writeConf(const std::string& text) {
        fs::create_directories(dir());
        write_text(conf(), text);
    }
    std::string freshConf(const std::string& secrets_path) const {
        return "buf_size \t64\ngui_optimize \t1\nsecrets \t" + secrets_path + "\nuse_locks \t0\n";
    }

    TempDir home;
    LogCapture log;
    bool use_locks = false;
    bool gui_optimize = true;
};

TEST_F(DavfsFiles, FreshHome) {
    EXPECT_EQ(run(), conf());
    EXPECT_TRUE(fs::is_directory(dir()));
    EXPECT_EQ(read_text(conf()), freshConf(secrets()));
    EXPECT_EQ(read_text(secrets()), kCred + "\n");
    EXPECT_EQ(kCred.size(), 20u);
    EXPECT_EQ(mode(secrets()), 0600u);
    EXPECT_TRUE(log.has(LogLevel::Info, "davfs config and secrets dir path " + dir() + "\n"));
    EXPECT_TRUE(log.has(LogLevel::Info, "davfs conf file path " + conf() + "\n"));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Created dir " + dir() + "\n"));
    EXPECT_FALSE(fs::exists(conf() + ".tmp"));
}

TEST_F(DavfsFiles, SecondRunConvergesAndLeavesTheConfigurationAlone) {
    ASSERT_EQ(run(), conf());
    struct stat before {};
    lstat(conf().c_str(), &before);
    chmod(secrets().c_str(), 0644);
    log.clear();
    ASSERT_EQ(run(), conf());
    struct stat after {};
    lstat(conf().c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(read_text(conf()), freshConf(secrets()));
    EXPECT_EQ(mode(secrets()), 0600u);
    EXPECT_FALSE(log.anyContaining("Added "));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Dir " + dir() + " already exists\n"));
    EXPECT_TRUE(log.has(LogLevel::Debug, "Credentials are valid in davfs secret file " + secrets() + "\n"));
}

TEST_F(DavfsFiles, WrongFlagIsRewrittenAtTheEndAndForeignLinesKeepTheirOrder) {
    writeConf("# mine\nuse_locks 1\nproxy foo:8080\n  gui_optimize\t1\r\nbuf_size 128\nsecrets " + secrets() + "\n");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(conf()),
              "# mine\nproxy foo:8080\n  gui_optimize\t1\r\nbuf_size 128\nsecrets " + secrets() + "\nuse_locks \t0\n");
    EXPECT_TRUE(log.has(LogLevel::Debug, "Skipped use_locks 1\n"));
}

TEST_F(DavfsFiles, FlagValuesAreReadInBaseTwo) {
    use_locks = true;
    writeConf("use_locks 01\ngui_optimize 2\nbuf_size 32\n");
    ASSERT_EQ(run(), conf());
    EXPECT_TRUE(log.has(LogLevel::Warning, "gui_optimize invalid value 2: \n"));
    // "01" reads as 1: kept. gui_optimize and the small buffer are rewritten.
    EXPECT_EQ(read_text(conf()), "use_locks 01\nbuf_size \t64\ngui_optimize \t1\nsecrets \t" + secrets() + "\n");
}

TEST_F(DavfsFiles, FirstMatchingLineWins) {
    writeConf("gui_optimize 1\ngui_optimize 0\n");
    ASSERT_EQ(run(), conf());
    // The first line says the right thing: both lines are left alone.
    std::string text = read_text(conf());
    EXPECT_EQ(text.rfind("gui_optimize 1\ngui_optimize 0\n", 0), 0u);
}

TEST_F(DavfsFiles, SecretsNamingAMissingFileKeepsTheName) {
    std::string mine = dir() + "/my_secrets";
    writeConf("secrets " + mine + "\n");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(mine), kCred + "\n");
    EXPECT_EQ(mode(mine), 0600u);
    EXPECT_TRUE(log.has(LogLevel::Debug, "Option davfs secrets is correct, file " + mine + "\n"));
    EXPECT_FALSE(fs::exists(secrets()));
}

TEST_F(DavfsFiles, SecretsNamingADirectoryIsReplaced) {
    fs::create_directories(dir() + "/adir");
    writeConf("secrets " + dir() + "/adir\n");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(secrets()), kCred + "\n");
    EXPECT_NE(read_text(conf()).find("secrets \t" + secrets() + "\n"), std::string::npos);
    EXPECT_EQ(read_text(conf()).find("adir"), std::string::npos);
}

TEST_F(DavfsFiles, SecretsWithoutValueFails) {
    writeConf("secrets\n");
    EXPECT_EQ(run(), "");
    EXPECT_TRUE(log.has(LogLevel::Error, "Error while opening davfs secret file \n"));
}

TEST_F(DavfsFiles, SecretsOutsideTheHomeAreNeverTouched) {
    TempDir elsewhere;
    std::string victim = elsewhere.path() + "/victim";
    write_text(victim, "precious\n");
    chmod(victim.c_str(), 0644);
    writeConf("secrets " + victim + "\n");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(victim), "precious\n");
    EXPECT_EQ(mode(victim), 0644u);
    EXPECT_EQ(read_text(secrets()), kCred + "\n");
    // A path that climbs out with ".." is outside too.
    writeConf("secrets " + home.path() + "/../" + fs::path(elsewhere.path()).filename().string() + "/other\n");
    ASSERT_EQ(run(), conf());
    EXPECT_FALSE(fs::exists(elsewhere.path() + "/other"));
}

TEST_F(DavfsFiles, ForeignCredentialIsCommentedOut) {
    ASSERT_EQ(run(), conf());
    write_text(secrets(), "other.host user pw\n#127.0.0.1:9843 old old\n127.0.0.1:9843 bob secret\n");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(secrets()), "other.host user pw\n#127.0.0.1:9843 bob secret\n" + kCred + "\n");
    EXPECT_EQ(mode(secrets()), 0600u);
    EXPECT_TRUE(log.has(LogLevel::Debug, "Credentials are not valid in davfs secret file " + secrets() + "\n"));
}

TEST_F(DavfsFiles, OnlyCommentedEndpointLineGetsTheCredentialAppended) {
    ASSERT_EQ(run(), conf());
    // No newline at the end: the credential must still land on its own line.
    write_text(secrets(), "# 127.0.0.1:9843 x y");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(secrets()), "# 127.0.0.1:9843 x y\n" + kCred + "\n");
}

TEST_F(DavfsFiles, AlternativeNamesWhenTheUsualOnesAreTaken) {
    write_text(dir(), "a file where the directory should be");
    ASSERT_EQ(run(), dir() + "_1/davfs2_orvanta.conf");
    EXPECT_TRUE(fs::is_directory(dir() + "_1"));

    TempDir home2;
    fs::create_directories(home2.path() + "/.davfs2/davfs2_orvanta.conf");
    ServiceConfig s;
    const std::string sh = home2.path();
    EXPECT_EQ(prepare_davfs_files(s, sh), home2.path() + "/.davfs2/davfs2_orvanta_1.conf");
}

TEST_F(DavfsFiles, PlantedSymlinksAreNeverFollowed) {
    TempDir target;
    // .davfs2 as a link to a directory elsewhere: treated as "not a directory".
    fs::create_directory_symlink(target.path(), dir());
    ASSERT_EQ(run(), dir() + "_1/davfs2_orvanta.conf");
    EXPECT_TRUE(fs::is_empty(target.path()));

    // Links where the configuration and secrets files are expected.
    TempDir home2;
    std::string d2 = home2.path() + "/.davfs2";
    fs::create_directories(d2);
    write_text(target.path() + "/f", "keep\n");
    fs::create_symlink(target.path() + "/f", d2 + "/davfs2_orvanta.conf");
    fs::create_symlink(target.path() + "/f", d2 + "/secrets_orvanta");
    ServiceConfig s;
    std::string sh = home2.path();
    ASSERT_EQ(prepare_davfs_files(s, sh), d2 + "/davfs2_orvanta_1.conf");
    EXPECT_EQ(read_text(target.path() + "/f"), "keep\n");
    EXPECT_EQ(read_text(d2 + "/secrets_orvanta_1"), kCred + "\n");

    // A hard link to a file elsewhere counts as "not a regular file" too.
    TempDir home3;
    std::string d3 = home3.path() + "/.davfs2";
    fs::create_directories(d3);
    ASSERT_EQ(link((target.path() + "/f").c_str(), (d3 + "/secrets_orvanta").c_str()), 0);
    sh = home3.path();
    ASSERT_EQ(prepare_davfs_files(s, sh), d3 + "/davfs2_orvanta.conf");
    EXPECT_EQ(read_text(target.path() + "/f"), "keep\n");
    EXPECT_EQ(read_text(d3 + "/secrets_orvanta_1"), kCred + "\n");
}

TEST_F(DavfsFiles, SearchForAFreeNameIsBounded) {
    fs::create_directories(dir());
    ServiceConfig s;
    const std::string sh = home.path();
    s.max_candidates = 3;
    for (const char* n : {"", "_1", "_2"})
        fs::create_directories(dir() + "/davfs2_orvanta" + n + ".conf");
    EXPECT_EQ(prepare_davfs_files(s, sh), "");
    EXPECT_TRUE(log.anyContaining("Error: No usable davfs conf file in " + dir()));
}

TEST_F(DavfsFiles, VanishedHomeIsNotRecreated) {
    ServiceConfig s;
    const std::string sh = home.path() + "/gone";
    EXPECT_EQ(prepare_davfs_files(s, sh), "");
    EXPECT_FALSE(fs::exists(home.path() + "/gone"));
    EXPECT_TRUE(
        log.has(LogLevel::Error, "Error : Failed to create dir " + home.path() + "/gone/.davfs2. Stop mount\n"));
}

TEST_F(DavfsFiles, UnexpectedStatusErrorIsThrown) {
    ServiceConfig s;
    const std::string sh = home.path() + "/" + std::string(5000, 'x');
    EXPECT_THROW(prepare_davfs_files(s, sh), fs::filesystem_error);
}

// Races replayed at the exact point between a check and the write that
// follows it: the user swaps a directory for a link to a root directory.
class DavfsRaces : public DavfsFiles {
protected:
    void TearDown() override {
        set_race_hook(nullptr);
        force_component_walk(false);
    }
    void swapAt(const std::string& point, const std::string& dir_path, const std::string& link_to) {
        set_race_hook([=](const std::string& p) {
            if (p != point) return;
            fs::rename(dir_path, dir_path + ".moved");
            fs::create_directory_symlink(link_to, dir_path);
        });
    }
    void secretsDirectorySwap();
    TempDir victim;  // stands in for /etc/modprobe.d, /etc
};

TEST_F(DavfsRaces, DavfsDirSwappedAfterTheReadWritesOnlyIntoTheCheckedDirectory) {
    // The user's own line (with filler to widen the window) must survive, but
    // only in the directory that was read, never in the link's target.
    std::string filler;
    for (int i = 0; i < 200; ++i)
        filler += "# filler " + std::to_string(i) + "\n";
    writeConf("install dccp /bin/sh -c 'touch /pwned'\n" + filler);
    swapAt("davfs:conf-read", dir(), victim.path());
    ASSERT_EQ(run(), conf());
    EXPECT_TRUE(fs::is_empty(victim.path()));
    std::string moved = dir() + ".moved";
    std::string text = read_text(moved + "/davfs2_orvanta.conf");
    EXPECT_EQ(text.rfind("install dccp", 0), 0u);
    EXPECT_NE(text.find("secrets \t" + secrets() + "\n"), std::string::npos);
    EXPECT_EQ(read_text(moved + "/secrets_orvanta"), kCred + "\n");
    EXPECT_EQ(mode(moved + "/secrets_orvanta"), 0600u);
}

TEST_F(DavfsRaces, DavfsDirSwappedRightAfterItWasPinned) {
    swapAt("davfs:dir-pinned", dir(), victim.path());
    ASSERT_EQ(run(), conf());
    EXPECT_TRUE(fs::is_empty(victim.path()));
    EXPECT_TRUE(fs::exists(dir() + ".moved/davfs2_orvanta.conf"));
}

// "secrets ~/x/passwd", and ~/x becomes a link to a root directory holding a
// passwd file after the check.
void DavfsRaces::secretsDirectorySwap() {
    fs::create_directories(home.path() + "/x");
    write_text(victim.path() + "/passwd", "root:x:0:0::/root:/bin/sh\n");
    chmod((victim.path() + "/passwd").c_str(), 0644);
    writeConf("secrets " + home.path() + "/x/passwd\n");
    swapAt("davfs:secrets-resolved", home.path() + "/x", victim.path());
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(victim.path() + "/passwd"), "root:x:0:0::/root:/bin/sh\n");
    EXPECT_EQ(mode(victim.path() + "/passwd"), 0644u);
    // The credential went where the check pointed: the real ~/x, now moved.
    EXPECT_EQ(read_text(home.path() + "/x.moved/passwd"), kCred + "\n");
    EXPECT_EQ(mode(home.path() + "/x.moved/passwd"), 0600u);
}

TEST_F(DavfsRaces, SecretsDirectorySwappedForALinkNeverReachesTheTarget) {
    secretsDirectorySwap();
}

TEST_F(DavfsRaces, SecretsDirectorySwapWithTheComponentWalkOfOlderKernels) {
    force_component_walk(true);
    secretsDirectorySwap();
    force_component_walk(false);
}

TEST_F(DavfsRaces, SecretsPathThroughALinkAtCheckTimeIsReplacedByTheServicesOwn) {
    write_text(victim.path() + "/passwd", "keep\n");
    chmod((victim.path() + "/passwd").c_str(), 0644);
    fs::create_directory_symlink(victim.path(), home.path() + "/x");
    writeConf("secrets " + home.path() + "/x/passwd\n");
    ASSERT_EQ(run(), conf());
    EXPECT_EQ(read_text(victim.path() + "/passwd"), "keep\n");
    EXPECT_EQ(mode(victim.path() + "/passwd"), 0644u);
    EXPECT_NE(read_text(conf()).find("secrets \t" + secrets() + "\n"), std::string::npos);
    EXPECT_EQ(read_text(secrets()), kCred + "\n");
}

TEST_F(DavfsRaces, SecretsRewriteWhoseFileIsSwappedBeforeTheRenameIsRefused) {
    ASSERT_EQ(run(), conf());
    write_text(secrets(), "127.0.0.1:9843 bob secret\n");
    // The user swaps the temporary file for their own between write and rename
    // is not possible in a root-owned directory, but the directory may be the
    // user's: what carries the name afterwards must be the file written.
    set_race_hook([&](const std::string& p) {
        if (p != "replace:before-rename") return;
        fs::remove(secrets() + ".tmp");
        write_text(secrets() + ".tmp", "planted\n");
    });
    EXPECT_EQ(run(), "");
    EXPECT_TRUE(log.has(LogLevel::Error, "Error while renaming davfs secret file " + secrets() + "\n"));
}

TEST(DavfsHelpers, TrimAndReconcile) {
    EXPECT_EQ(trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(trim(""), "");
    LogCapture log;
    std::map<std::string, std::string> p{{"use_locks", " +1x"}};
    reconcile_flag_option(p, "use_locks", 1);
    EXPECT_TRUE(p.empty());
    p = {{"use_locks", "abc"}};
    reconcile_flag_option(p, "use_locks", 0);
    EXPECT_EQ(p.at("use_locks"), "0");
    EXPECT_TRUE(log.has(LogLevel::Warning, "use_locks invalid value abc: \n"));
    p = {{"use_locks", "111111111111111111111111111111111111111"}};  // out of int range
    reconcile_flag_option(p, "use_locks", 1);
    EXPECT_EQ(p.at("use_locks"), "1");
    p.clear();
    reconcile_flag_option(p, "gui_optimize", 1);
    EXPECT_EQ(p.at("gui_optimize"), "1");
    p = {{"buf_size", "256"}};
    reconcile_min_option(p, "buf_size", 64);
    EXPECT_TRUE(p.empty());
    p = {{"buf_size", "16"}};
    reconcile_min_option(p, "buf_size", 64);
    EXPECT_EQ(p.at("buf_size"), "64");
}

}  // namespace
}  // namespace qmss
