// Stand-in for the per-user agent: tells the mount service who is logged in
// by sending {pid, uid} records (or arbitrary bytes) to its Unix socket.
//
//   user-agent [--socket PATH] [--pid N] [--uid N | --user NAME]
//              [--count K] [--raw HEX] [--split N,N,...] [--delay-ms MS]
//              [--hold-ms MS] [--as-uid N]
//
// --raw sends the given bytes instead of a record; --split writes the data
// in pieces of the given sizes with --delay-ms between them; --as-uid drops
// to that uid before connecting (to act as an unprivileged peer).
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "user-agent: %s\n", why);
    std::exit(2);
}

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    if (hex.size() % 2 != 0) usage("--raw needs an even number of hex digits");
    for (size_t i = 0; i < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = "/tmp/quor-sharing-dir-mounting.socket";
    int32_t pid = static_cast<int32_t>(getpid());
    uint32_t uid = static_cast<uint32_t>(getuid());
    int count = 1;
    bool raw_given = false;
    std::vector<uint8_t> data;
    std::vector<size_t> split;
    int delay_ms = 50;
    int hold_ms = 0;
    long as_uid = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        if (a == "--socket")
            path = next();
        else if (a == "--pid")
            pid = static_cast<int32_t>(std::stol(next()));
        else if (a == "--uid")
            uid = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--user") {
            std::string name = next();
            passwd* pw = getpwnam(name.c_str());
            if (!pw) usage(("no such user " + name).c_str());
            uid = pw->pw_uid;
        } else if (a == "--count")
            count = std::stoi(next());
        else if (a == "--raw") {
            data = from_hex(next());
            raw_given = true;
        } else if (a == "--split") {
            std::string s = next();
            size_t pos = 0;
            while (pos < s.size()) {
                size_t c = s.find(',', pos);
                if (c == std::string::npos) c = s.size();
                split.push_back(std::stoul(s.substr(pos, c - pos)));
                pos = c + 1;
            }
        } else if (a == "--delay-ms")
            delay_ms = std::stoi(next());
        else if (a == "--hold-ms")
            hold_ms = std::stoi(next());
        else if (a == "--as-uid")
            as_uid = std::stol(next());
        else
            usage(("unknown argument " + a).c_str());
    }
    if (!raw_given) {
        for (int k = 0; k < count; ++k) {
            uint8_t rec[8];
            std::memcpy(rec, &pid, 4);
            std::memcpy(rec + 4, &uid, 4);
            data.insert(data.end(), rec, rec + 8);
        }
    }
    if (as_uid >= 0 && setuid(static_cast<uid_t>(as_uid)) != 0) {
        std::perror("user-agent: setuid");
        return 1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) usage("socket path too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("user-agent: connect");
        return 1;
    }
    if (split.empty()) split.push_back(data.size());
    size_t off = 0;
    for (size_t k = 0; k < split.size() && off < data.size(); ++k) {
        size_t n = std::min(split[k], data.size() - off);
        if (!write_all(fd, data.data() + off, n)) {
            std::perror("user-agent: write");
            return 1;
        }
        off += n;
        if (off < data.size()) usleep(static_cast<useconds_t>(delay_ms) * 1000);
    }
    if (off < data.size() && !write_all(fd, data.data() + off, data.size() - off)) {
        std::perror("user-agent: write");
        return 1;
    }
    if (hold_ms > 0) usleep(static_cast<useconds_t>(hold_ms) * 1000);
    close(fd);
    return 0;
}
