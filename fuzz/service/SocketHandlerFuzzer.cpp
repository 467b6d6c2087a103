// Feeds arbitrary bytes as one backend line to the backend socket's handler,
// with a private spool directory holding a regular file (plus a subdirectory,
// links and a FIFO), so that some announcements are accepted.
//
// The spool directory's name is random, so the seeds write "@SPOOL@" where
// they mean it; every occurrence in the input is expanded before the bytes
// reach the handler. A sibling directory "@SPOOL@x" and a file next to the
// spool directory test that nothing outside it is ever announced.
//
// Checked properties:
// - no exception leaves handle();
// - anything but exactly one JSON value gets no reply;
// - a reply is one well-formed type-4 "sendfile"/"notification" frame;
// - an announcement is accepted exactly when "abspath" resolves to a regular
//   file inside the spool directory, and then its data is the backend's
//   object without "abspath" and with a fresh version-4 "id", which the
//   registry maps to the file's resolved path;
// - an empty announcement (null, {}, []) is passed on unchanged.
#include <limits>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include "FuzzSupport.h"
#include "service/SocketHandler.h"
#include "task/PrintFileRegistry.h"

namespace {

using czs::fuzz::require;

std::string& spoolDir() {
    static std::string dir;
    return dir;
}

void makeSpool() {
    const std::string base = czs::fuzz::scratchDir();
    const std::string spool = base + "/spool";
    require(::mkdir(spool.c_str(), 0700) == 0, "mkdir spool");
    require(::mkdir((spool + "/sub").c_str(), 0700) == 0, "mkdir spool/sub");
    require(::mkdir((spool + "x").c_str(), 0700) == 0, "mkdir sibling");
    czs::fuzz::writeFile(spool + "/job1", "%!PS-Adobe-3.0\n");
    czs::fuzz::writeFile(spool + "/sub/job2", "second job");
    czs::fuzz::writeFile(spool + "x/job3", "outside: sibling with a common prefix");
    czs::fuzz::writeFile(base + "/outside", "outside: next to the spool directory");
    require(::symlink("job1", (spool + "/inside-link").c_str()) == 0, "symlink inside");
    require(::symlink((base + "/outside").c_str(), (spool + "/outside-link").c_str()) == 0, "symlink outside");
    require(::mkfifo((spool + "/fifo").c_str(), 0600) == 0, "mkfifo");
    spoolDir() = spool;
}

std::string expand(const uint8_t* data, size_t size) {
    static const std::string token = "@SPOOL@";
    std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
        text.replace(at, token.size(), spoolDir());
        at += spoolDir().size();
    }
    return text;
}

// The resolved path of a print file the daemon may serve, or nothing. The
// path goes to the system as a C string, so it ends at its first NUL byte.
std::optional<std::string> servable(const std::string& path) {
    char dir[PATH_MAX];
    char file[PATH_MAX];
    if (::realpath(spoolDir().c_str(), dir) == nullptr) czs::fuzz::fail("spool directory vanished");
    // A path holding a NUL names a different file than the one announced.
    if (path.empty() || path.find('\0') != std::string::npos || ::realpath(path.c_str(), file) == nullptr) {
        return std::nullopt;
    }
    const std::string resolved = file;
    const std::string prefix = std::string(dir) + "/";
    if (resolved.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    struct stat st {};
    if (::stat(file, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return resolved;
}

bool isUuid4(const std::string& id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const char c = id[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return id[14] == '4' && (id[19] == '8' || id[19] == '9' || id[19] == 'a' || id[19] == 'b');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    czs::fuzz::quietLog();
    makeSpool();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace czs;
    // Unbounded: the fuzzer announces far more files than the daemon keeps.
    static PrintFileRegistry registry(std::numeric_limits<std::size_t>::max());
    static SocketHandler handler(registry, spoolDir());

    const std::string line = expand(data, size);
    const RawStreamData input(line.begin(), line.end());

    Reply reply;
    try {
        reply = handler.handle(input);
    } catch (...) {
        fuzz::fail("an exception left SocketHandler::handle");
    }

    const nlohmann::json sent = nlohmann::json::parse(line.begin(), line.end(), nullptr, false, false);
    if (line.empty() || sent.is_discarded()) {
        require(reply.empty(), "no reply for anything but one JSON value");
        return 0;
    }

    const bool emptyValue = sent.is_null() || (sent.is_object() && sent.empty()) || (sent.is_array() && sent.empty());
    std::optional<std::string> file;
    if (sent.is_object() && sent.contains("abspath") && sent["abspath"].is_string()) {
        file = servable(sent["abspath"].get<std::string>());
    }

    if (reply.empty()) {
        require(!emptyValue, "an empty announcement is still passed on");
        require(!file, "an announcement of a regular file in the spool directory is accepted");
        return 0;
    }
    const nlohmann::json message = fuzz::readReplyFrame(reply.data(), reply.size());
    require(message.value("method", std::string()) == "sendfile", "announcement method is sendfile");
    require(message.value("type", std::string()) == "notification", "announcement type is notification");
    require(message.size() == 4 && message.contains("data"), "announcement has context, data, method, type only");
    const nlohmann::json& announced = message["data"];

    if (emptyValue) {
        require(announced == sent, "an empty announcement is passed on unchanged");
        return 0;
    }
    require(file.has_value(), "only regular files inside the spool directory are announced");
    require(announced.is_object(), "announced data is an object");
    require(!announced.contains("abspath"), "the local path never reaches the host");
    const auto id = announced.find("id");
    require(id != announced.end() && id->is_string(), "announced data has a string id");
    require(isUuid4(id->get<std::string>()), "id is a version-4 UUID in lower-case hex");
    nlohmann::json expected = sent;
    expected.erase("abspath");
    expected["id"] = *id;
    require(announced == expected, "every other member is passed on unchanged");
    const auto recorded = registry.findFile(id->get<std::string>());
    require(recorded.has_value() && *recorded == *file, "the registry maps the id to the resolved path");
    return 0;
}
