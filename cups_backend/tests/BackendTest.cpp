// Runs the built zefa-prt program the way CUPS does (arguments, environment,
// print data on standard input or in a file) against a test listener that
// stands in for the print daemon's local socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utime.h>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

struct BackendRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// Runs the backend with `args`, extra environment and `input` on stdin.
BackendRun runBackend(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::string& input = "") {
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            ::close(fd);
        std::vector<char*> argv;
        std::string self = ZEFA_PRT_PATH;
        argv.push_back(self.data());
        std::vector<std::string> a = args;
        for (auto& s : a)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        for (const auto& e : env)
            ::putenv(::strdup(e.c_str()));
        ::execv(ZEFA_PRT_PATH, argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Feed stdin from a thread so a large input cannot deadlock against the pipes.
    std::thread feeder([fd = in[1], &input] {
        size_t at = 0;
        while (at < input.size()) {
            const ssize_t n = ::write(fd, input.data() + at, input.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        ::close(fd);
    });
    auto errText = std::async(std::launch::async, [fd = err[0]] { return drain(fd); });
    BackendRun r;
    r.out = drain(out[0]);
    r.err = errText.get();
    feeder.join();
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Stands in for the daemon's socket: accepts clients one at a time, keeps
// what each sent and answers it as told before closing.
class Listener {
public:
    static constexpr const char* kOk = "{\"status\":\"ok\"}\n";
    static constexpr const char* kHostError = "{\"status\":\"error\",\"reason\":\"not delivered to the host\"}\n";
    static constexpr const char* kRefused = "{\"status\":\"error\",\"reason\":\"announcement refused\"}\n";
    // Answers that are not sent: close at once, or hold the connection open.
    static constexpr const char* kNoAnswer = "";
    static constexpr const char* kSilent = "<silent>";

    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

    // Starts listening after `delayMs`, serves `clients` connections, the
    // i-th answered with answers[i] (the last one repeats; "ok" by default).
    void serve(int clients, int delayMs = 0, std::vector<std::string> answers = {kOk}) {
        thread_ = std::thread([this, clients, delayMs, answers] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            ::listen(fd_, 0);
            for (int i = 0; i < clients; ++i) {
                pollfd p{fd_, POLLIN, 0};
                int waited = 0;
                while (!stop_ && ::poll(&p, 1, 100) == 0 && (waited += 100) < 20000) {}
                if (stop_ || !(p.revents & POLLIN)) return;
                const int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) return;
                lines_.push_back(drain(c));
                const std::string& answer = answers[std::min<size_t>(static_cast<size_t>(i), answers.size() - 1)];
                if (answer == kSilent) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                } else if (!answer.empty()) {
                    (void)!::write(c, answer.data(), answer.size());
                }
                ::close(c);
            }
        });
    }
    std::vector<std::string> lines() {
        if (thread_.joinable()) thread_.join();
        return lines_;
    }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::vector<std::string> lines_;
    std::atomic<bool> stop_{false};
};

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string randomBytes(size_t n) {
    std::mt19937 rng(99);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zefa-prt-test-XXXXXX";
        base_ = ::mkdtemp(tmpl);
        spool_ = base_ + "/spool";  // created by the backend
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    std::vector<std::string> env(int port, int retrySeconds = 10) const {
        return {"ZEFA_PRT_SPOOL_DIR=" + spool_, "ZEFA_PRT_DAEMON_PORT=" + std::to_string(port),
                "ZEFA_PRT_RETRY_SECONDS=" + std::to_string(retrySeconds), "PRINTER=Office+HP",
                "DEVICE_URI=zefa-prt:///dev/virtio-ports/orvanta.Printer.0/7"};
    }

    // Checks the announcement and the spooled bytes; returns the spool path.
    std::string checkDelivered(const std::string& line, const std::string& data) {
        if (line.empty()) {
            ADD_FAILURE() << "no announcement line";
            return {};
        }
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);  // exactly one line
        const json j = json::parse(line);
        const std::string path = j.value("abspath", "");
        EXPECT_EQ(path.rfind(spool_ + "/job-42-", 0), 0u) << path;
        EXPECT_EQ(j["job-id"], 42);
        EXPECT_EQ(j["job-originating-user-name"], "alice");
        EXPECT_EQ(j["job-name"], "Quarterly report");
        EXPECT_EQ(j["copies"], 2);
        EXPECT_EQ(j["job-options"], "sides=two-sided-long-edge");
        EXPECT_EQ(j["printer-name"], "Office+HP");
        EXPECT_EQ(readFile(path), data);
        EXPECT_EQ(j["size"], data.size());
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(::stat(spool_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        return path;
    }

    // The daemon was sent exactly one announcement, of `data`.
    void expectOneDelivery(Listener& daemon, const std::string& data) {
        const auto lines = daemon.lines();
        ASSERT_EQ(lines.size(), 1u);
        checkDelivered(lines[0], data);
    }

    const std::vector<std::string> jobArgs = {"42", "alice", "Quarterly report", "2", "sides=two-sided-long-edge"};
    std::string base_;
    std::string spool_;
};

TEST_F(BackendTest, NoArgumentsPrintsTheDiscoveryLine) {
    const BackendRun r = runBackend({}, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "direct zefa-prt \"Unknown\" \"Orvanta remote printer\"\n");
}

TEST_F(BackendTest, WrongArgumentCountFails) {
    const BackendRun r = runBackend({"1", "2"}, env(1));
    EXPECT_EQ(r.status, 1);  // CUPS_BACKEND_FAILED
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
}

TEST_F(BackendTest, JobFromStandardInputIsSpooledAndAnnounced) {
    Listener daemon;
    daemon.serve(1);
    const std::string data = randomBytes(300000);
    const BackendRun r = runBackend(jobArgs, env(daemon.port()), data);
    EXPECT_EQ(r.status, 0) << r.err;
    expectOneDelivery(daemon, data);
}

TEST_F(BackendTest, JobFromAFileArgument) {
    Listener daemon;
    daemon.serve(1);
    const std::string data = randomBytes(5000);
    const std::string input = base_ + "/input.pdf";
    std::ofstream(input, std::ios::binary) << data;
    std::vector<std::string> args = jobArgs;
    args.push_back(input);
    const BackendRun r = runBackend(args, env(daemon.port()), "not this");
    EXPECT_EQ(r.status, 0) << r.err;
    expectOneDelivery(daemon, data);
}

TEST_F(BackendTest, BusyDaemonIsWaitedFor) {
    // The daemon starts listening only after the backend's first attempts failed.
    Listener daemon;
    daemon.serve(1, 700);
    const BackendRun r = runBackend(jobArgs, env(daemon.port()), "late");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("INFO: retrying in "), std::string::npos);
    expectOneDelivery(daemon, "late");
}

TEST_F(BackendTest, RefusedConnectionIsRetriedThenLeftToCups) {
    int port = 0;
    {
        Listener unused;  // a port nobody listens on
        port = unused.port();
    }
    const BackendRun r = runBackend(jobArgs, env(port, 1), "data");
    EXPECT_EQ(r.status, 6);  // CUPS_BACKEND_RETRY
    EXPECT_NE(r.err.find("attempt 2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ERROR: print daemon not reachable"), std::string::npos);
    // Its spool file is gone: the retried job spools afresh.
    EXPECT_TRUE(std::filesystem::is_empty(spool_));
}

// Only the daemon's "ok" counts: anything else leaves the job with CUPS.
TEST_F(BackendTest, AHostErrorIsRetriedAndAnOkAfterwardsCompletesTheJob) {
    Listener daemon;
    daemon.serve(2, 0, {Listener::kHostError, Listener::kOk});
    const BackendRun r = runBackend(jobArgs, env(daemon.port()), "data");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("could not take the job (not delivered to the host)"), std::string::npos) << r.err;
    const auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(checkDelivered(lines[0], "data"), checkDelivered(lines[1], "data")) << "the same spool file again";
}

TEST_F(BackendTest, AHostErrorUntilTheRetryTimeIsOverLeavesTheJobQueued) {
    Listener daemon;
    daemon.serve(50, 0, {Listener::kHostError});
    const BackendRun r = runBackend(jobArgs, env(daemon.port(), 1), "data");
    EXPECT_EQ(r.status, 6) << r.err;  // CUPS_BACKEND_RETRY
    EXPECT_NE(r.err.find("the job will be retried"), std::string::npos) << r.err;
    // The host never had it: the spool file goes, the retry spools anew.
    EXPECT_TRUE(std::filesystem::is_empty(spool_));
}

TEST_F(BackendTest, ARefusedLineIsNotRetriedHereButLeftToCups) {
    Listener daemon;
    daemon.serve(1, 0, {Listener::kRefused});
    const BackendRun r = runBackend(jobArgs, env(daemon.port()), "data");
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_EQ(r.err.find("retrying in"), std::string::npos) << r.err;
    EXPECT_EQ(daemon.lines().size(), 1u);
}

TEST_F(BackendTest, NoAnswerIsNeverTakenForDelivery) {
    Listener daemon;
    daemon.serve(50, 0, {Listener::kNoAnswer});
    const BackendRun r = runBackend(jobArgs, env(daemon.port(), 1), "data");
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_NE(r.err.find("gave no answer"), std::string::npos) << r.err;
    // The daemon may have passed it on before it went quiet: the file stays
    // for the host to fetch.
    EXPECT_FALSE(std::filesystem::is_empty(spool_));
}

TEST_F(BackendTest, ADaemonThatSaysNothingIsWaitedForOnlyUntilTheAnswerDeadline) {
    Listener daemon;
    daemon.serve(1, 0, {Listener::kSilent});
    auto e = env(daemon.port(), 0);
    e.push_back("ZEFA_PRT_ANSWER_SECONDS=1");
    const auto t0 = std::chrono::steady_clock::now();
    const BackendRun r = runBackend(jobArgs, e, "data");
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_LT(took, std::chrono::milliseconds(2400)) << "waited for the silent daemon's close, not the deadline";
}

TEST_F(BackendTest, AnAnswerThatIsNotUnderstoodIsNoAnswer) {
    for (const char* answer : {"{\"status\":\"maybe\"}\n", "{\"status\":1}\n", "[\"ok\"]\n"}) {
        Listener daemon;
        daemon.serve(50, 0, {answer});
        const BackendRun r = runBackend(jobArgs, env(daemon.port(), 1), "data");
        EXPECT_EQ(r.status, 6) << answer << r.err;
        EXPECT_NE(r.err.find("not understood"), std::string::npos) << answer << r.err;
    }
}

TEST_F(BackendTest, AnErrorAnswerWhoseReasonIsNotTextIsAHostError) {
    // Not the refusal, so the backend keeps retrying, and it must not die on it.
    Listener daemon;
    daemon.serve(50, 0, {"{\"status\":\"error\",\"reason\":{\"x\":1}}\n"});
    const BackendRun r = runBackend(jobArgs, env(daemon.port(), 1), "data");
    EXPECT_EQ(r.status, 6) << r.err;
    EXPECT_NE(r.err.find("could not take the job ()"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("retrying in"), std::string::npos) << r.err;
}

TEST_F(BackendTest, OldSpoolFilesOfOursAreRemoved) {
    ASSERT_EQ(::mkdir(spool_.c_str(), 0755), 0);  // too open: the backend tightens it
    const std::string old = spool_ + "/job-1-abcdef", fresh = spool_ + "/job-2-abcdef", other = spool_ + "/keep";
    for (const auto& p : {old, fresh, other})
        std::ofstream(p) << "x";
    const struct utimbuf twoDaysAgo = {::time(nullptr) - 2 * 86400, ::time(nullptr) - 2 * 86400};
    ASSERT_EQ(::utime(old.c_str(), &twoDaysAgo), 0);
    ASSERT_EQ(::utime(other.c_str(), &twoDaysAgo), 0);
    Listener daemon;
    daemon.serve(1);
    const BackendRun r = runBackend(jobArgs, env(daemon.port()), "data");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_TRUE(std::filesystem::exists(fresh));
    EXPECT_TRUE(std::filesystem::exists(other));
    ASSERT_EQ(daemon.lines().size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(spool_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(BackendTest, NonUtf8TitleStillAnnounces) {
    Listener daemon;
    daemon.serve(1);
    std::vector<std::string> args = jobArgs;
    args[2] = "Caf\xE9";
    const BackendRun r = runBackend(args, env(daemon.port()), "d");
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = daemon.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::parse(lines[0])["job-name"], "Caf\xEF\xBF\xBD");  // U+FFFD
}

}  // namespace

namespace {

TEST_F(BackendTest, TheAnnouncementSaysWhichFormatItCarriesAndKeepsEveryOtherMember) {
    struct Case {
        std::vector<std::string> extraEnv;
        const char* expected;  // null: no "document-format" member
    };
    const Case cases[] = {
        {{"FINAL_CONTENT_TYPE=application/pdf", "CONTENT_TYPE=text/plain"}, "application/pdf"},
        // A queue without filters names itself as the final type.
        {{"FINAL_CONTENT_TYPE=printer/Office+HP", "CONTENT_TYPE=image/png"}, "image/png"},
        {{"CONTENT_TYPE=application/vnd.cups-raw"}, "application/vnd.cups-raw"},
        {{}, nullptr},
    };
    for (const Case& c : cases) {
        Listener daemon;
        daemon.serve(1);
        std::vector<std::string> e = env(daemon.port());
        e.insert(e.end(), c.extraEnv.begin(), c.extraEnv.end());
        const std::string data = randomBytes(1000);
        const BackendRun r = runBackend(jobArgs, e, data);
        EXPECT_EQ(r.status, 0) << r.err;
        const auto lines = daemon.lines();
        ASSERT_EQ(lines.size(), 1u);
        checkDelivered(lines[0], data);
        const json j = json::parse(lines[0]);
        if (c.expected == nullptr) {
            EXPECT_FALSE(j.contains("document-format")) << lines[0];
        } else {
            EXPECT_EQ(j.value("document-format", ""), c.expected) << lines[0];
        }
        // The members the host always had, and the new one: nothing else.
        EXPECT_EQ(j.size(), c.expected == nullptr ? 9u : 10u) << lines[0];
    }
}

}  // namespace
