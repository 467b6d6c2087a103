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

#include <algorithm>
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

struct Options {
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
};

std::vector<size_t> parse_sizes(const std::string& s) {
    std::vector<size_t> sizes;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t c = s.find(',', pos);
        if (c == std::string::npos) c = s.size();
        sizes.push_back(std::stoul(s.substr(pos, c - pos)));
        pos = c + 1;
    }
    return sizes;
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        if (a == "--socket") {
            o.path = next();
        } else if (a == "--pid") {
            o.pid = static_cast<int32_t>(std::stol(next()));
        } else if (a == "--uid") {
            o.uid = static_cast<uint32_t>(std::stoul(next()));
        } else if (a == "--user") {
            std::string name = next();
            passwd* pw = getpwnam(name.c_str());
            if (!pw) usage(("no such user " + name).c_str());
            o.uid = pw->pw_uid;
        } else if (a == "--count") {
            o.count = std::stoi(next());
        } else if (a == "--raw") {
            o.data = from_hex(next());
            o.raw_given = true;
        } else if (a == "--split") {
            o.split = parse_sizes(next());
        } else if (a == "--delay-ms") {
            o.delay_ms = std::stoi(next());
        } else if (a == "--hold-ms") {
            o.hold_ms = std::stoi(next());
        } else if (a == "--as-uid") {
            o.as_uid = std::stol(next());
        } else {
            usage(("unknown argument " + a).c_str());
        }
    }
    if (!o.raw_given) {
        for (int k = 0; k < o.count; ++k) {
            uint8_t rec[8];
            std::memcpy(rec, &o.pid, 4);
            std::memcpy(rec + 4, &o.uid, 4);
            o.data.insert(o.data.end(), rec, rec + 8);
        }
    }
    return o;
}

// Writes the data in the pieces `split` names, pausing between them; what the
// pieces leave over goes in one last write.
bool send_pieces(int fd, const Options& o) {
    std::vector<size_t> split = o.split.empty() ? std::vector<size_t>{o.data.size()} : o.split;
    size_t off = 0;
    for (size_t k = 0; k < split.size() && off < o.data.size(); ++k) {
        size_t n = std::min(split[k], o.data.size() - off);
        if (!write_all(fd, o.data.data() + off, n)) return false;
        off += n;
        if (off < o.data.size()) usleep(static_cast<useconds_t>(o.delay_ms) * 1000);
    }
    return off == o.data.size() || write_all(fd, o.data.data() + off, o.data.size() - off);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    if (o.as_uid >= 0 && setuid(static_cast<uid_t>(o.as_uid)) != 0) {
        std::perror("user-agent: setuid");
        return 1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (o.path.size() >= sizeof addr.sun_path) usage("socket path too long");
    std::memcpy(addr.sun_path, o.path.c_str(), o.path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("user-agent: connect");
        return 1;
    }
    if (!send_pieces(fd, o)) {
        std::perror("user-agent: write");
        return 1;
    }
    if (o.hold_ms > 0) usleep(static_cast<useconds_t>(o.hold_ms) * 1000);
    close(fd);
    return 0;
}
