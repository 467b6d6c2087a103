// Stands in for the print daemon on 127.0.0.1:4848: takes the zefa-prt
// backend's announcement line and, when asked to, answers it the way the
// daemon does once the host has it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <cups_zefa_service/BackendLink.h>

namespace czs::e2e {

// Accepts one connection on 127.0.0.1:4848 and reads one line from it.
class AnnouncementListener {
public:
    AnnouncementListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kBackendPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok =
            m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(m_fd, 4) == 0;
    }
    ~AnnouncementListener() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    bool ok() const { return m_ok; }

    // The first line of the first connection, without its newline; empty
    // after `timeoutMs` without one.
    std::string readLine(int timeoutMs, bool answerOk = false) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            return {};
        }
        const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            return {};
        }
        std::string line;
        char ch = 0;
        pollfd q{c, POLLIN, 0};
        while (::poll(&q, 1, timeoutMs) == 1 && ::read(c, &ch, 1) == 1 && ch != '\n') {
            line.push_back(ch);
        }
        if (answerOk) {
            static const char kOk[] = "{\"status\":\"ok\"}\n";
            (void)!::write(c, kOk, sizeof kOk - 1);
        }
        ::close(c);
        return line;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
};

}  // namespace czs::e2e
