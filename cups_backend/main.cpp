// zefa-prt: the CUPS backend of the mirrored Orvanta queues (man backend).
//
//   zefa-prt                                   prints the device discovery line
//   zefa-prt job-id user title copies options [file]
//
// Copies the job's print data (the file, or standard input) into a new file
// of the private spool directory, then announces it to the print daemon on
// its local TCP port as one JSON object and a newline: "abspath" plus the
// job's metadata, which the daemon forwards to the host. The daemon answers
// the line with one of its own once the announcement is wholly in the host
// channel: {"status":"ok"}, or {"status":"error","reason":"..."} when it is
// not. Only "ok" counts as delivered. A refused connection, an error answer
// about the host and a connection that ends without an answer are retried
// with back-off for a bounded time; after that (or at once when the daemon
// refuses the line itself) the backend returns CUPS_BACKEND_RETRY, so the job
// stays queued and CUPS tries it again later.
//
// Environment (the defaults are the production values; tests override them):
//   ZEFA_PRT_DAEMON_HOST     daemon address            127.0.0.1
//   ZEFA_PRT_DAEMON_PORT     daemon port               4848
//   ZEFA_PRT_SPOOL_DIR       spool directory           /var/spool/orvanta-print
//   ZEFA_PRT_RETRY_SECONDS   how long to keep retrying 300
//   ZEFA_PRT_ANSWER_SECONDS  how long to wait for the daemon's answer  30
//   ZEFA_PRT_SPOOL_MAX_AGE   seconds after which our old spool files go  86400
// CUPS sets PRINTER (queue name) and DEVICE_URI for every job, and the type
// of the data the backend gets in FINAL_CONTENT_TYPE (or, without filters,
// CONTENT_TYPE), which the announcement passes on as "document-format".
#include <arpa/inet.h>
#include <cups/backend.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <cups_zefa_service/BackendLink.h>
#include <runtime/Deadline.h>
#include <runtime/DirStream.h>
#include <runtime/UniqueFd.h>

namespace {

constexpr const char* kSpoolPrefix = "job-";
constexpr int kConnectTimeoutMs = 5000;  // covers the kernel's SYN retransmits at 1 s and 3 s
// The daemon gives up on the host channel's verdict after 25 s and then
// closes the connection; this only bounds a daemon that says nothing.
constexpr long kAnswerTimeoutSeconds = 30;
constexpr int kSendTimeoutMs = 30000;

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

long envNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return fallback;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return *end == '\0' && n >= 0 ? n : fallback;
}

// The spool directory must be ours alone: the daemon serves only files from
// it, and it serves them as root.
bool prepareSpoolDir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "ERROR: cannot create spool directory %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        std::fprintf(stderr, "ERROR: spool directory %s is not a directory owned by us\n", dir.c_str());
        return false;
    }
    if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
        std::fprintf(stderr, "ERROR: cannot restrict spool directory %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// Nothing else removes spool files (the host may read a file again), so each
// run drops ours that are older than the limit.
void removeOldSpoolFiles(const std::string& dir, long maxAge) {
    const orv::DirStream d = orv::openDirStream(dir.c_str());
    if (!d) return;
    const time_t cutoff = ::time(nullptr) - maxAge;
    while (const dirent* e = ::readdir(d.get())) {
        if (std::strncmp(e->d_name, kSpoolPrefix, std::strlen(kSpoolPrefix)) != 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_mtime < cutoff) {
            if (::unlinkat(::dirfd(d.get()), e->d_name, 0) == 0) {
                std::fprintf(stderr, "DEBUG: removed old spool file %s/%s\n", dir.c_str(), e->d_name);
            }
        }
    }
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t w = ::write(fd, data.data(), data.size());
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

// Copies the print data into a new spool file; returns its path or "".
std::string spoolJob(const std::string& dir, const std::string& jobId, int in) {
    std::string name;
    for (char c : jobId)
        name += (c >= '0' && c <= '9') ? c : '_';
    std::string path = dir + "/" + kSpoolPrefix + name + "-XXXXXX";
    orv::UniqueFd out(::mkstemp(path.data()));
    if (!out) {
        std::fprintf(stderr, "ERROR: cannot create spool file in %s: %s\n", dir.c_str(), std::strerror(errno));
        return "";
    }
    ::fchmod(out.get(), 0600);
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (!writeAll(out.get(), std::string_view(buffer, static_cast<size_t>(n)))) {
            ok = false;
            break;
        }
    }
    if (ok && ::fsync(out.get()) != 0) ok = false;
    // Closed here, not by the owner: a failed close can mean lost data.
    if (::close(out.release()) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "ERROR: cannot spool the print data to %s: %s\n", path.c_str(), std::strerror(errno));
        ::unlink(path.c_str());
        return "";
    }
    return path;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

enum class SendResult {
    Delivered,     // the daemon answered "ok": the host channel has the announcement
    NotConnected,  // no connection, or the line could not be sent: nothing reached the daemon
    HostError,     // the daemon could not deliver the announcement to the host (yet)
    Refused,       // the daemon refused the line itself; trying again now would not help
    NoAnswer,      // the line went out but no verdict came: the host may or may not have it
};

// Reads the daemon's one answer line; empty when the connection ended or the
// deadline passed first.
std::string readAnswer(int fd, int timeoutMs) {
    std::string answer;
    const orv::Deadline deadline(std::chrono::milliseconds{timeoutMs});
    while (answer.find('\n') == std::string::npos && answer.size() < 4096) {
        const int left = deadline.remainingMs();
        if (left <= 0 || !waitFor(fd, POLLIN, left)) return "";
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return "";
        answer.append(buf, static_cast<size_t>(n));
    }
    return answer.substr(0, answer.find('\n'));
}

SendResult judgeAnswer(const std::string& answer) {
    if (answer.empty()) {
        std::fprintf(stderr, "INFO: the print daemon gave no answer\n");
        return SendResult::NoAnswer;
    }
    const nlohmann::json j = nlohmann::json::parse(answer, nullptr, false);
    namespace words = czs::backend_answer;
    // A member that is not a string reads as empty: json::value would throw
    // for it, and an exception here would end the backend without a verdict.
    const auto text = [&j](const char* key) {
        const auto it = j.is_object() ? j.find(key) : j.end();
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string status = text(words::kStatusKey);
    if (status == words::kOk) return SendResult::Delivered;
    if (status != words::kError) {
        std::fprintf(stderr, "INFO: the print daemon's answer is not understood\n");
        return SendResult::NoAnswer;
    }
    const std::string reason = text(words::kReasonKey);
    std::fprintf(stderr, "INFO: the print daemon could not take the job (%s)\n", reason.c_str());
    return reason == words::kRefused ? SendResult::Refused : SendResult::HostError;
}

// One attempt: connect, send the line, and wait for the daemon's answer.
SendResult sendOnce(const std::string& host, int port, const std::string& line, int answerTimeoutMs) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "ERROR: bad daemon address %s\n", host.c_str());
        return SendResult::NotConnected;
    }
    const orv::UniqueFd conn(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!conn) return SendResult::NotConnected;
    const int fd = conn.get();

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS || !waitFor(fd, POLLOUT, kConnectTimeoutMs)) {
            std::fprintf(stderr, "INFO: print daemon at %s:%d not reachable (%s)\n", host.c_str(), port,
                         errno == EINPROGRESS ? "timed out" : std::strerror(errno));
            return SendResult::NotConnected;
        }
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) {
            std::fprintf(stderr, "INFO: print daemon at %s:%d not reachable (%s)\n", host.c_str(), port,
                         std::strerror(error));
            return SendResult::NotConnected;
        }
    }
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, kSendTimeoutMs)) continue;
            std::fprintf(stderr, "INFO: sending to the print daemon failed (%s)\n", std::strerror(errno));
            return sent == 0 ? SendResult::NotConnected : SendResult::NoAnswer;
        }
        sent += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    return judgeAnswer(readAnswer(fd, answerTimeoutMs));
}

// Announces the line until the daemon says "ok" or the retry time is over.
// `uncertain` is set when some attempt left the host possibly holding the
// announcement (the spool file must then stay for it to be fetched).
bool announce(const std::string& line, bool& uncertain) {
    const std::string host = envOr("ZEFA_PRT_DAEMON_HOST", czs::kBackendAddress);
    const long port = envNumber("ZEFA_PRT_DAEMON_PORT", czs::kBackendPort);
    const int answerMs = static_cast<int>(envNumber("ZEFA_PRT_ANSWER_SECONDS", kAnswerTimeoutSeconds) * 1000);
    const orv::Deadline deadline(std::chrono::seconds(envNumber("ZEFA_PRT_RETRY_SECONDS", 300)));
    auto delay = std::chrono::milliseconds(100);
    for (int attempt = 1;; ++attempt) {
        const SendResult r = sendOnce(host, static_cast<int>(port), line, answerMs);
        if (r == SendResult::Delivered) return true;
        if (r == SendResult::NoAnswer) uncertain = true;
        if (r == SendResult::Refused) return false;
        if (deadline.expired()) return false;
        const auto wait = std::min<orv::Clock::duration>(delay, deadline.remaining());
        std::fprintf(stderr, "INFO: retrying in %lld ms (attempt %d)\n",
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()),
                     attempt);
        orv::sleepFully(wait);
        delay = std::min(delay * 2, std::chrono::milliseconds(5000));
    }
}

// The MIME type of the data this backend receives. A queue without filters
// may name its own pseudo type ("printer/<queue>") as the final one; the
// job's type is then what arrives.
std::string documentFormat() {
    const std::string final = envOr("FINAL_CONTENT_TYPE", "");
    if (!final.empty() && final.rfind("printer/", 0) != 0) return final;
    return envOr("CONTENT_TYPE", "");
}

long numberOr(const char* text, long fallback) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 ? n : fallback;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 1) {
        std::printf("direct zefa-prt \"Unknown\" \"Orvanta remote printer\"\n");
        return CUPS_BACKEND_OK;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return CUPS_BACKEND_FAILED;
    }
    std::signal(SIGPIPE, SIG_IGN);

    const std::string dir = envOr("ZEFA_PRT_SPOOL_DIR", czs::kSpoolDir);
    if (!prepareSpoolDir(dir)) return CUPS_BACKEND_FAILED;
    removeOldSpoolFiles(dir, envNumber("ZEFA_PRT_SPOOL_MAX_AGE", 86400));

    // The print data: the named file, or standard input (never closed here).
    orv::UniqueFd file;
    if (argc == 7) {
        file.reset(::open(argv[6], O_RDONLY | O_CLOEXEC));
        if (!file) {
            std::fprintf(stderr, "ERROR: cannot open print file %s: %s\n", argv[6], std::strerror(errno));
            return CUPS_BACKEND_FAILED;
        }
    }
    const std::string path = spoolJob(dir, argv[1], file ? file.get() : STDIN_FILENO);
    file.reset();
    if (path.empty()) return CUPS_BACKEND_FAILED;

    // The protocol has no end-of-file mark: the size tells the host where the
    // job ends, so a file ending in zero bytes is not cut short.
    struct stat spooled {};
    if (::stat(path.c_str(), &spooled) != 0) {
        std::fprintf(stderr, "ERROR: spooled job %s vanished: %s\n", path.c_str(), std::strerror(errno));
        return CUPS_BACKEND_FAILED;
    }
    nlohmann::json announcement = {
        {"abspath", path},
        {"size", static_cast<uint64_t>(spooled.st_size)},
        {"job-id", numberOr(argv[1], 0)},
        {"job-originating-user-name", argv[2]},
        {"job-name", argv[3]},
        {"copies", numberOr(argv[4], 1)},
        {"job-options", argv[5]},
        {"printer-name", envOr("PRINTER", "")},
        {"device-uri", envOr("DEVICE_URI", "")},
    };
    // Added to what the host always got; a host that does not know the
    // member ignores it.
    if (const std::string format = documentFormat(); !format.empty()) {
        announcement["document-format"] = format;
    }
    // Titles and options come from users and may not be UTF-8; replace bad
    // bytes rather than fail the job.
    const std::string line = announcement.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

    std::fprintf(stderr, "INFO: announcing %s to the print daemon\n", path.c_str());
    bool uncertain = false;
    if (!announce(line, uncertain)) {
        std::fprintf(stderr,
                     "ERROR: print daemon not reachable or the host did not take the job; "
                     "the job will be retried\n");
        // The retry spools the job anew. A file the host may have been told
        // about stays for it to fetch; the age limit removes it later.
        if (!uncertain) ::unlink(path.c_str());
        return CUPS_BACKEND_RETRY;
    }
    std::fprintf(stderr, "INFO: the print daemon delivered the job to the host\n");
    return CUPS_BACKEND_OK;
}
