// Blocking test clients for the stream server: connect, send, read a line or
// see the server close, each bounded by a timeout so a fault fails the test
// instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "runtime/UniqueFd.h"

namespace orv::test {

inline UniqueFd tcpConnect(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
    return fd;
}

inline UniqueFd unixConnect(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const int e = errno;  // for the caller, past the close
        fd.reset();
        errno = e;
    }
    return fd;
}

inline bool sendAll(int fd, const std::string& s) {
    size_t at = 0;
    while (at < s.size()) {
        const ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// What the server sent until it closed or `ms` passed; `closed` tells which.
inline std::string readUntilClosed(int fd, int ms, bool* closed = nullptr) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (closed != nullptr) *closed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return got;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return got;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            return got;
        }
        got.append(buf, static_cast<size_t>(n));
    }
}

// One line (with its newline) within `ms`, or what came before the timeout.
inline std::string readLine(int fd, int ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.empty() || got.back() != '\n') {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) break;
        got.push_back(c);
    }
    return got;
}

// Whether the server closed `fd` within `ms`, whatever it sent before.
inline bool closedWithin(int fd, int ms) {
    bool closed = false;
    readUntilClosed(fd, ms, &closed);
    return closed;
}

// Sends `line` and returns the one line that answers it within `ms`.
inline std::string ask(int fd, const std::string& line, int ms = 2000) {
    if (!sendAll(fd, line)) return "<send failed>";
    return readLine(fd, ms);
}

// A fresh directory under /tmp (short enough for socket paths), removed with
// its contents afterwards.
struct TempDirForSockets {
    TempDirForSockets() {
        char tmpl[] = "/tmp/orv-ss-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDirForSockets() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

template <class F>
bool eventually(F f, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
}

}  // namespace orv::test
