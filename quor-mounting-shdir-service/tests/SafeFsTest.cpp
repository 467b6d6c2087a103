#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "LogCapture.h"
#include "SafeFs.h"

namespace qmss {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::TempDir;
using test::write_text;

// Every resolver property holds with openat2 and with the component walk
// used on kernels without it.
class OpenBeneath : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        force_component_walk(GetParam());
        auto opened = open_dir(root.path());
        ASSERT_TRUE(opened) << opened.errnum();
        base = std::move(opened).value();
        fs::create_directories(root.path() + "/a/b");
        write_text(root.path() + "/a/b/f", "inside\n");
        write_text(outside.path() + "/f", "outside\n");
    }
    void TearDown() override { force_component_walk(false); }
    int openErr(const std::string& rel, int flags) { return open_beneath(base.get(), rel, flags).errnum(); }

    TempDir root, outside;
    orv::UniqueFd base;
};

TEST_P(OpenBeneath, PlainPathsOpen) {
    auto fd = open_beneath(base.get(), "a/b/f", O_RDONLY);
    ASSERT_TRUE(fd) << fd.errnum();
    EXPECT_EQ(read_all(fd->get()), "inside\n");
    EXPECT_EQ(openErr("a/./b//f", O_RDONLY), 0);
    EXPECT_EQ(openErr("", O_PATH | O_DIRECTORY), 0);
    EXPECT_EQ(openErr("a/b", O_PATH | O_DIRECTORY), 0);
    EXPECT_EQ(openErr("a/missing/f", O_RDONLY), ENOENT);
}

TEST_P(OpenBeneath, LinksAndEscapesAreRefused) {
    fs::create_directory_symlink(outside.path(), root.path() + "/a/link");
    fs::create_symlink(outside.path() + "/f", root.path() + "/a/flink");
    fs::create_directory_symlink("b", root.path() + "/a/rel");  // even one that stays inside
    int e = openErr("a/link/f", O_RDONLY);
    EXPECT_TRUE(e == ELOOP || e == ENOTDIR) << e;
    e = openErr("a/flink", O_RDONLY);
    EXPECT_TRUE(e == ELOOP || e == ENOTDIR) << e;
    e = openErr("a/rel/f", O_RDONLY);
    EXPECT_TRUE(e == ELOOP || e == ENOTDIR) << e;
    e = openErr("a/link", O_PATH | O_DIRECTORY);
    EXPECT_TRUE(e == ELOOP || e == ENOTDIR) << e;
    e = openErr("a/flink", O_PATH);
    EXPECT_TRUE(e == ELOOP || e == ENOTDIR) << e;
    EXPECT_EQ(openErr("../x", O_RDONLY), EXDEV);
    EXPECT_EQ(openErr("a/../../x", O_RDONLY), EXDEV);
    EXPECT_EQ(openErr(outside.path() + "/f", O_RDONLY), EXDEV);
    // Creation through a link never lands outside.
    EXPECT_NE(openErr("a/link/new", O_WRONLY | O_CREAT), 0);
    EXPECT_FALSE(fs::exists(outside.path() + "/new"));
}

INSTANTIATE_TEST_SUITE_P(Resolvers, OpenBeneath, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "walk" : "openat2"; });

TEST(OpenBeneathProbe, KernelWithOpenat2IsUsed) {
    force_component_walk(false);
    // This machine's kernel is far newer than 5.6; the probe must find it.
    EXPECT_TRUE(openat2_in_use());
    force_component_walk(true);
    EXPECT_FALSE(openat2_in_use());
    force_component_walk(false);
}

TEST(OpenRegular, OnlyPlainFilesWithOneLink) {
    TempDir d, other;
    auto opened = open_dir(d.path());
    ASSERT_TRUE(opened);
    const orv::UniqueFd dir = std::move(opened).value();
    write_text(d.path() + "/plain", "x");
    write_text(other.path() + "/t", "t");
    fs::create_symlink(other.path() + "/t", d.path() + "/sym");
    ASSERT_EQ(link((other.path() + "/t").c_str(), (d.path() + "/hard").c_str()), 0);
    ASSERT_EQ(mkfifo((d.path() + "/fifo").c_str(), 0600), 0);
    fs::create_directory(d.path() + "/dir");
    EXPECT_TRUE(open_regular(dir.get(), "plain", O_RDONLY));
    EXPECT_EQ(open_regular(dir.get(), "sym", O_RDONLY).error(), std::errc::too_many_symbolic_link_levels);
    EXPECT_EQ(open_regular(dir.get(), "hard", O_RDONLY).error(), std::errc::invalid_argument);
    // A fifo must neither block the opener nor be taken for a file.
    EXPECT_EQ(open_regular(dir.get(), "fifo", O_RDONLY).errnum(), EINVAL);
    EXPECT_FALSE(open_regular(dir.get(), "dir", O_RDONLY));
    EXPECT_EQ(open_regular(dir.get(), "missing", O_RDONLY).errnum(), ENOENT);
    EXPECT_EQ(read_text(other.path() + "/t"), "t");
}

TEST(ReplaceInDir, WritesThroughNoPlantedTemporaryFile) {
    TempDir d, other;
    const orv::UniqueFd dir = open_dir(d.path()).value();
    write_text(other.path() + "/victim", "keep\n");
    fs::create_symlink(other.path() + "/victim", d.path() + "/f.tmp");
    auto written = replace_in_dir(dir.get(), "f", "new\n", 0640);
    ASSERT_TRUE(written) << written.errnum() << " at " << written.context();
    EXPECT_EQ(read_text(d.path() + "/f"), "new\n");
    EXPECT_EQ(read_text(other.path() + "/victim"), "keep\n");
    EXPECT_FALSE(fs::exists(d.path() + "/f.tmp"));
    struct stat st {};
    ASSERT_EQ(lstat((d.path() + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // A directory under the temporary name cannot be removed: "open" fails.
    fs::create_directories(d.path() + "/g.tmp/x");
    written = replace_in_dir(dir.get(), "g", "y", 0600);
    EXPECT_FALSE(written);
    EXPECT_NE(written.errnum(), 0);
    EXPECT_EQ(written.context(), "open");
    // A directory under the final name cannot be replaced by a file: "rename" fails.
    fs::create_directories(d.path() + "/h/x");
    written = replace_in_dir(dir.get(), "h", "y", 0600);
    EXPECT_FALSE(written);
    EXPECT_EQ(written.context(), "rename");
    EXPECT_FALSE(fs::exists(d.path() + "/h/y"));
}

TEST(AppendInDir, NeverThroughALink) {
    TempDir d, other;
    const orv::UniqueFd dir = open_dir(d.path()).value();
    write_text(other.path() + "/victim", "keep\n");
    fs::create_symlink(other.path() + "/victim", d.path() + "/s");
    auto appended = append_in_dir(dir.get(), "s", "more\n", 0600);
    EXPECT_EQ(appended.errnum(), ELOOP);
    EXPECT_EQ(appended.context(), "open");
    EXPECT_EQ(read_text(other.path() + "/victim"), "keep\n");
    EXPECT_TRUE(append_in_dir(dir.get(), "n", "a\n", 0600));
    EXPECT_TRUE(append_in_dir(dir.get(), "n", "b\n", 0600));
    EXPECT_EQ(read_text(d.path() + "/n"), "a\nb\n");
}

TEST(RelativeBeneath, TextualContainment) {
    EXPECT_EQ(relative_beneath("/home/a/x/p", "/home/a"), "x/p");
    EXPECT_EQ(relative_beneath("/home/a//x/./p", "/home/a/"), "x/p");
    EXPECT_EQ(relative_beneath("/home/a", "/home/a"), "");
    EXPECT_FALSE(relative_beneath("/home/ab/p", "/home/a"));
    EXPECT_FALSE(relative_beneath("/home/a/../b/p", "/home/a"));
    EXPECT_FALSE(relative_beneath("/etc/passwd", "/home/a"));
    EXPECT_FALSE(relative_beneath("home/a/p", "/home/a"));
}

TEST(SplitLines, LikeGetline) {
    EXPECT_EQ(split_lines("a\nb"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_lines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(split_lines("").empty());
}

}  // namespace
}  // namespace qmss
