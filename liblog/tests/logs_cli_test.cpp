// liblog: header shape, level filter, rotation chain, stdout, and many
// threads logging across rotations without losing or tearing a line.
#include <liblog/logs_cli.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/liblog_test.XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);) {
        out.push_back(line);
    }
    return out;
}

// What a daemon call site does: header and text in one write, then account.
void logText(int level, const std::string& text) {
    if (!log_enabled(level)) {
        return;
    }
    char header[LOG_HEADER_SIZE];
    int n = log_header(header, sizeof header, level);
    std::string line = std::string(header, n) + text;
    log_write(line.data(), line.size());
}

// Waits until the rotation thread has closed the old file and shifted names.
void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

int openFdCount() {
    int count = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (::readdir(d)) {
        ++count;
    }
    ::closedir(d);
    return count;
}

struct Logger {
    explicit Logger(log_config cfg) { EXPECT_EQ(log_open(&cfg), 0); }
    ~Logger() { log_close(); }
};

log_config configFor(const std::string& path) {
    log_config cfg;
    log_config_defaults(&cfg);
    cfg.path = path.c_str();
    return cfg;
}

struct FileInfo {
    mode_t mode;
    uid_t uid;
    gid_t gid;
};

FileInfo infoOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
}

// The group the library gives its files: "adm" where the machine has it.
gid_t expectedGroup() {
    struct group* g = ::getgrnam("adm");
    return g ? g->gr_gid : 0;
}

// Sets the umask for one scope: the file mode must not depend on it.
class Umask {
public:
    explicit Umask(mode_t mask) : old_(::umask(mask)) {}
    ~Umask() { ::umask(old_); }

private:
    mode_t old_;
};

void expectLogFileMode(const std::string& path) {
    FileInfo info = infoOf(path);
    EXPECT_EQ(info.mode, 0640u) << path << " mode " << std::oct << info.mode;
    if (::geteuid() == 0) {
        EXPECT_EQ(info.uid, 0u) << path;
        EXPECT_EQ(info.gid, expectedGroup()) << path;
    }
}

}  // namespace

TEST(LogConfig, DefaultsAreTheDocumentedValues) {
    log_config cfg;
    log_config_defaults(&cfg);
    EXPECT_EQ(cfg.path, nullptr);
    EXPECT_EQ(cfg.level_mask, 23);
    EXPECT_EQ(cfg.max_size, 10485760);
    EXPECT_EQ(cfg.close_delay_us, 10000);
    EXPECT_EQ(cfg.backup_count, 3);
    EXPECT_EQ(cfg.newline_before, 0);
    EXPECT_EQ(cfg.fixed_timezone, 1);
    EXPECT_EQ(log_open(nullptr), -22);
}

TEST(LogHeader, ShapeLevelNamesAndPid) {
    TempDir dir;
    const std::string path = dir / "a.log";
    Logger logger(configFor(path));
    char buf[LOG_HEADER_SIZE];
    int n = log_header(buf, sizeof buf, 2);
    std::string header(buf, n);
    std::regex shape(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\] \[PID:(\d+)\] \[ERROR\] )");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(header, m, shape)) << header;
    EXPECT_EQ(std::stoi(m[1]), ::getpid());

    const std::map<int, std::string> names = {{1, "CRITICAL"}, {2, "ERROR"},    {4, "WARNING"},
                                              {8, "INFO"},     {16, "INFO"},    {1024, "DEBUG"},
                                              {2048, "INFO"},  {32, "UNKNOWN"}, {3, "UNKNOWN"}};
    for (const auto& [level, name] : names) {
        n = log_header(buf, sizeof buf, level);
        EXPECT_NE(std::string(buf, n).find("] [" + name + "] "), std::string::npos) << level;
    }
    // A short buffer cuts the header but never overruns it.
    char tiny[10];
    EXPECT_EQ(log_header(tiny, sizeof tiny, 2), 9);
    EXPECT_EQ(std::string(tiny), std::string(buf, 9));
}

TEST(LogEnabled, MaskFiltersLevels) {
    TempDir dir;
    const std::string path = dir / "a.log";
    log_config cfg = configFor(path);
    {
        Logger logger(cfg);
        EXPECT_TRUE(log_enabled(2));
        EXPECT_TRUE(log_enabled(16));
        EXPECT_TRUE(log_enabled(1));
        EXPECT_FALSE(log_enabled(8));
        EXPECT_FALSE(log_enabled(1024));
        EXPECT_FALSE(log_enabled(0));
        logText(8, "hidden\n");
        logText(2, "shown\n");
    }
    std::string text = readFile(path);
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("[ERROR] shown\n"), std::string::npos);

    cfg.level_mask = -1;
    {
        Logger logger(cfg);
        EXPECT_TRUE(log_enabled(4));
        EXPECT_FALSE(log_enabled(8));
    }
    cfg.level_mask = 1024;
    {
        Logger logger(cfg);
        EXPECT_TRUE(log_enabled(1024));
        EXPECT_FALSE(log_enabled(2));
    }
}

TEST(LogOpen, CreatesDirectoryChainAndContinuesExistingFile) {
    TempDir dir;
    std::string path = dir / "x/y/z/c.log";
    {
        Logger logger(configFor(path));
        logText(16, "first\n");
    }
    EXPECT_TRUE(fs::is_directory(dir / "x/y/z"));
    {
        // The byte count starts at the existing size: 2 lines of 60 bytes
        // with max_size 100 rotate on the first new line.
        log_config cfg = configFor(path);
        cfg.max_size = static_cast<int32_t>(fs::file_size(path)) + 1;
        Logger logger(cfg);
        logText(16, "second\n");
        settle();
    }
    EXPECT_TRUE(fs::exists(path + ".1"));
    EXPECT_NE(readFile(path + ".1").find("second"), std::string::npos);
}

// A log file in a fresh directory; each test sets its limits on `cfg`
// before it opens the logger.
class LogRotation : public ::testing::Test {
protected:
    // Writes each text raw and lets the logger settle after it.
    static void writeSettled(std::initializer_list<std::string> texts) {
        for (const std::string& text : texts) {
            log_write(text.data(), text.size());
            settle();
        }
    }

    TempDir dir;
    const std::string path = dir / "rot.log";
    log_config cfg = configFor(path);
};

TEST_F(LogRotation, SecondSixtyByteLineRotatesAtOneHundred) {
    cfg.max_size = 100;
    Logger logger(cfg);
    const std::string line = std::string(59, 'a') + "\n";  // 60 bytes, written raw
    log_write(line.data(), line.size());
    EXPECT_FALSE(fs::exists(path + ".0"));
    log_write(line.data(), line.size());
    settle();
    EXPECT_EQ(readFile(path + ".1"), line + line);
    EXPECT_FALSE(fs::exists(path + ".0"));
    EXPECT_EQ(fs::file_size(path), 0u);
    const std::string third = std::string(59, 'c') + "\n";
    log_write(third.data(), third.size());
    EXPECT_EQ(readFile(path), third);
}

TEST_F(LogRotation, ChainKeepsBackupCountAndDropsTheOldest) {
    cfg.max_size = 10;
    cfg.close_delay_us = 0;
    Logger logger(cfg);
    writeSettled({"line1-padding\n", "line2-padding\n", "line3-padding\n", "line4-padding\n", "line5-padding\n"});
    // Newest rotated file is .1; .3 is the oldest kept; nothing beyond.
    EXPECT_EQ(readFile(path + ".1"), "line5-padding\n");
    EXPECT_EQ(readFile(path + ".2"), "line4-padding\n");
    EXPECT_EQ(readFile(path + ".3"), "line3-padding\n");
    EXPECT_FALSE(fs::exists(path + ".4"));
    EXPECT_FALSE(fs::exists(path + ".0"));
}

TEST_F(LogRotation, BackupCountZeroKeepsOnlyDotZero) {
    cfg.max_size = 10;
    cfg.backup_count = 0;
    Logger logger(cfg);
    writeSettled({"first-line\n", "second-line\n"});
    EXPECT_EQ(readFile(path + ".0"), "second-line\n");
    EXPECT_FALSE(fs::exists(path + ".1"));
}

TEST_F(LogRotation, NegativeSizesMeanNever) {
    cfg.max_size = -5;
    cfg.close_delay_us = -1;
    Logger logger(cfg);
    for (int i = 0; i < 50; ++i) {
        logText(16, "some text that adds up\n");
    }
    settle();
    EXPECT_FALSE(fs::exists(path + ".0"));
    EXPECT_FALSE(fs::exists(path + ".1"));
    EXPECT_EQ(lines(readFile(path)).size(), 50u);
}

TEST(LogOutput, NewlineBeforeEachHeader) {
    TempDir dir;
    const std::string path = dir / "nl.log";
    log_config cfg = configFor(path);
    cfg.newline_before = 1;
    {
        Logger logger(cfg);
        logText(16, "one\n");
        logText(16, "two\n");
    }
    auto l = lines(readFile(path));
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0], "");
    EXPECT_EQ(l[2], "");
    EXPECT_EQ(l[1].substr(l[1].size() - 3), "one");
}

TEST(LogOutput, StdoutNeverRotates) {
    TempDir dir;
    std::string out = dir / "stdout.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
        FILE* f = std::freopen(out.c_str(), "w", stdout);
        log_config cfg;
        log_config_defaults(&cfg);
        cfg.max_size = 100;
        int ok = f && log_open(&cfg) == 0 && log_file() == stdout;
        const std::string line = std::string(59, 's') + "\n";
        for (int i = 0; i < 3; ++i) {
            log_write(line.data(), line.size());
        }
        ok = ok && log_file() == stdout;
        log_close();
        std::fflush(stdout);
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(lines(readFile(out)).size(), 3u);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

// Many writers across many rotations (close delay 0, so the old stream is
// closed while writers may still hold it): every line exactly once and whole,
// no more backups than configured, and no descriptor left behind.
TEST(LogConcurrency, EveryLineOnceAcrossRotations) {
    TempDir dir;
    std::string path = dir / "mt.log";
    int fdsBefore = openFdCount();
    constexpr int kThreads = 8;
    constexpr int kLines = 4000;
    log_config cfg = configFor(path);
    cfg.max_size = 32 * 1024;
    cfg.close_delay_us = 0;
    cfg.backup_count = 200;  // enough that no rotated file is ever removed
    {
        Logger logger(cfg);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i) {
                    logText(16,
                            "T" + std::to_string(t) + " L" + std::to_string(i) + " payload-payload-payload-payload\n");
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        settle();
    }
    std::map<std::pair<int, int>, int> seen;
    std::regex shape(R"(\[[^\]]+\] \[PID:\d+\] \[INFO\] T(\d+) L(\d+) payload-payload-payload-payload)");
    int files = 0;
    int backups = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        ++files;
        if (e.path().string() != path) {
            ++backups;
        }
        for (const auto& line : lines(readFile(e.path().string()))) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
            ++seen[{std::stoi(m[1]), std::stoi(m[2])}];
        }
    }
    // About 70 rotations are due; how many happen depends on how soon each
    // rotation's thread finishes beside eight busy writers (writers do not
    // start another meanwhile), so only "several" is certain.
    EXPECT_GE(backups, 3);
    EXPECT_LE(backups, 200);
    EXPECT_FALSE(fs::exists(path + ".0"));
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& [key, count] : seen) {
        ASSERT_EQ(count, 1) << "T" << key.first << " L" << key.second;
    }
    EXPECT_EQ(openFdCount(), fdsBefore);
}

TEST(LogConcurrency, BackupsNeverExceedCount) {
    TempDir dir;
    std::string path = dir / "few.log";
    log_config cfg = configFor(path);
    cfg.max_size = 2048;
    cfg.close_delay_us = 100;
    cfg.backup_count = 3;
    {
        Logger logger(cfg);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([] {
                for (int i = 0; i < 3000; ++i) {
                    logText(2, "rotation pressure line\n");
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        settle();
    }
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_LE(entries, 4);
    EXPECT_TRUE(fs::exists(path + ".3"));
    EXPECT_FALSE(fs::exists(path + ".4"));
}

// log_open copies the path: the caller's string may go away or change at once.
TEST(LogConfig, PathIsCopiedAtOpen) {
    TempDir dir;
    const std::string path = dir / "copied.log";
    std::string scratch = path;
    log_config cfg = configFor(scratch);
    ASSERT_EQ(log_open(&cfg), 0);
    std::fill(scratch.begin(), scratch.end(), 'x');
    scratch.clear();
    scratch.shrink_to_fit();
    cfg.path = nullptr;
    logText(2, "after the caller's string is gone\n");
    log_close();
    EXPECT_NE(readFile(path).find("[ERROR] after the caller's string is gone\n"), std::string::npos);
}

// The log carries user and host names: 0640, root and adm, whatever the umask.
TEST(LogFileMode, NewFileIs0640WithTheLogGroup) {
    TempDir dir;
    const std::string path = dir / "sub/new.log";
    {
        Umask noMask(0);
        Logger logger(configFor(path));
        logText(2, "line\n");
    }
    expectLogFileMode(path);
}

TEST(LogFileMode, OlderFileWithAWiderModeIsNarrowed) {
    TempDir dir;
    const std::string path = dir / "old.log";
    {
        Umask noMask(0);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "earlier\n", 8), 8);
        ::close(fd);
        ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        }
    }
    {
        Logger logger(configFor(path));
        logText(2, "later\n");
    }
    expectLogFileMode(path);
    // The earlier content stays: the file is continued, not replaced.
    EXPECT_EQ(readFile(path).rfind("earlier\n", 0), 0u);
}

TEST(LogFileMode, RotatedAndFreshFilesAre0640) {
    TempDir dir;
    const std::string path = dir / "rot.log";
    Umask noMask(0);
    log_config cfg = configFor(path);
    cfg.max_size = 10;
    cfg.close_delay_us = 0;
    {
        Logger logger(cfg);
        for (int i = 0; i < 3; ++i) {
            const std::string line = "rotate-me-" + std::to_string(i) + "\n";
            log_write(line.data(), line.size());
            settle();
        }
        ASSERT_TRUE(fs::exists(path + ".1"));
        ASSERT_TRUE(fs::exists(path + ".2"));
        expectLogFileMode(path);
        expectLogFileMode(path + ".1");
        expectLogFileMode(path + ".2");
    }
}

// A log sent to something that is not a regular file (here a pipe, as
// /dev/null would be) must leave that node's mode and owner alone.
TEST(LogFileMode, SpecialFilesAreLeftAsTheyAre) {
    TempDir dir;
    const std::string fifo = dir / "pipe";
    {
        Umask noMask(0);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    }
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const FileInfo before = infoOf(fifo);
    {
        log_config cfg = configFor(fifo);
        ASSERT_EQ(log_open(&cfg), 0);
        logText(2, "through the pipe\n");
        log_close();
    }
    const FileInfo after = infoOf(fifo);
    EXPECT_EQ(after.mode, 0666u);
    EXPECT_EQ(after.uid, before.uid);
    EXPECT_EQ(after.gid, before.gid);
    char buf[256] = {};
    ssize_t n = ::read(reader, buf, sizeof buf - 1);
    ::close(reader);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buf, static_cast<size_t>(n)).find("through the pipe"), std::string::npos);
}
