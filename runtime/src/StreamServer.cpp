// The listener side of the stream server: listening, accepting with a
// back-off, admission within the caps, and the sessions it owns.
#include "runtime/StreamServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/Deadline.h"
#include "runtime/Log.h"

namespace orv {
namespace {

std::error_code lastError() {
    return {errno, std::system_category()};
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    return line;
}

}  // namespace

StreamServer::StreamServer(asio::io_context& io, StreamHandler& handler, StreamServerOptions options)
    : io_(io),
      handler_(handler),
      options_(std::move(options)),
      acceptor_(io),
      pauseTimer_(io),
      alive_(std::make_shared<StreamServer*>(this)) {}

StreamServer::~StreamServer() {
    stop();
    alive_.reset();
}

void StreamServer::logCapacity(const std::string& text) {
    // A flood of connections sheds or refuses one client per connection;
    // one line a second says so without flooding the log in turn.
    const auto now = Clock::now();
    if (now - lastCapacityLine_ < std::chrono::seconds(1)) {
        ++capacityLinesHeld_;
        return;
    }
    if (capacityLinesHeld_ > 0) {
        ORV_LOG(Warning, "%u more clients shed or refused since\n", capacityLinesHeld_);
        capacityLinesHeld_ = 0;
    }
    lastCapacityLine_ = now;
    ORV_LOG(Warning, "%s", text.c_str());
}

Result<void> StreamServer::listenTcp(const std::string& address, uint16_t port) {
    const char* step = "open";
    auto fail = [&](std::error_code ec) { return Error{ec, step}; };
    if (acceptor_.is_open()) return fail(asio::error::already_open);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return fail(lastError());
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return fail(lastError());
    step = "bind";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        return fail(std::make_error_code(std::errc::invalid_argument));
    }
    const Deadline bindDeadline(options_.bindWait);
    while (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EADDRINUSE || bindDeadline.expired()) return fail(lastError());
        sleepFully(std::chrono::milliseconds(100));
    }
    step = "listen";
    if (::listen(fd.get(), options_.backlog) != 0) return fail(lastError());
    step = "open";
    std::error_code ec;
    acceptor_.assign(asio::generic::stream_protocol(AF_INET, IPPROTO_TCP), fd.get(), ec);
    if (ec) return fail(ec);
    fd.release();
    return {};
}

Result<void> StreamServer::listenUnix(const std::string& path) {
    if (acceptor_.is_open()) return Error{asio::error::already_open, "open"};
    UniqueFd fd;
    UnixSocketFile file;
    if (std::error_code ec = bindUnixSocket(path, options_.unixMode, fd, file, options_.backlog)) {
        return Error{ec, "bind"};
    }
    unixFile_.emplace(std::move(file));
    std::error_code ec;
    acceptor_.assign(asio::generic::stream_protocol(AF_UNIX, 0), fd.get(), ec);
    if (ec) {
        unixFile_->remove();
        unixFile_.reset();
        return Error{ec, "open"};
    }
    fd.release();
    return {};
}

uint16_t StreamServer::boundPort() const {
    if (!acceptor_.is_open()) return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(const_cast<Acceptor&>(acceptor_).native_handle(), reinterpret_cast<sockaddr*>(&addr), &len) !=
            0 ||
        addr.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

void StreamServer::start() {
    startAccept();
}

void StreamServer::stop() {
    std::error_code ignored;
    pauseTimer_.cancel();
    paused_ = false;
    acceptor_.close(ignored);
    auto all = std::move(sessions_);
    sessions_.clear();
    for (auto& s : all) {
        s->server_ = nullptr;
        s->shut(CloseReason::ServerStopped);
    }
    if (unixFile_) {
        unixFile_->remove();
        unixFile_.reset();
    }
}

void StreamServer::startAccept() {
    if (!acceptor_.is_open() || paused_) return;
    std::weak_ptr<StreamServer*> weak = alive_;
    acceptor_.async_accept([weak](const std::error_code& ec, StreamSession::Socket socket) {
        if (auto self = weak.lock()) (*self)->onAccept(ec, std::move(socket));
    });
}

void StreamServer::onAccept(const std::error_code& ec, StreamSession::Socket socket) {
    if (ec) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        pauseAccepting(ec);
        return;
    }
    if (failures_ > 0) {
        ORV_LOG(Info, "accepting again after %u failed accepts\n", failures_);
        failures_ = 0;
    }
    admit(std::move(socket));
    startAccept();
}

void StreamServer::pauseAccepting(const std::error_code& ec) {
    // Out of descriptors (EMFILE, ENFILE) the listening socket stays readable
    // and every accept fails at once: retrying at once would spin a core and
    // flood the log. Wait instead, longer each time, and say so once.
    ++failures_;
    pause_ = failures_ == 1 ? options_.acceptPause : std::min(pause_ * 2, options_.acceptPauseMax);
    if (failures_ == 1) {
        ORV_LOG(Error, "accept failed: %s (error %d); pausing new connections\n", ec.message().c_str(), ec.value());
    }
    paused_ = true;
    pauseTimer_.expires_after(pause_);
    std::weak_ptr<StreamServer*> weak = alive_;
    pauseTimer_.async_wait([weak](const std::error_code& tec) {
        if (tec) return;
        if (auto self = weak.lock()) {
            (*self)->paused_ = false;
            (*self)->startAccept();
        }
    });
}

void StreamServer::admit(StreamSession::Socket socket) {
    PeerCredentials peer;
    if (unixFile_) {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
            peer.known = true;
            peer.pid = cred.pid;
            peer.uid = cred.uid;
            peer.gid = cred.gid;
        }
    }
    if (!makeRoom(peer)) {
        std::error_code ignored;
        socket.close(ignored);
        return;
    }
    auto session = std::make_shared<StreamSession>(*this, std::move(socket), nextId_++, peer);
    sessions_.push_back(session);
    session->begin();
    handler_.onAccepted(*session);
    if (!session->closed()) session->startRead();
}

bool StreamServer::makeRoom(const PeerCredentials& peer) {
    auto oldestIdle = [&](auto&& eligible) -> std::shared_ptr<StreamSession> {
        std::shared_ptr<StreamSession> best;
        for (const auto& s : sessions_) {
            if (!s->idle() || !eligible(*s)) continue;
            if (!best || s->lastActive_ < best->lastActive_) best = s;
        }
        return best;
    };
    if (options_.maxClientsPerUid > 0 && peer.known && peer.uid != 0) {
        auto sameUid = [&](const StreamSession& s) { return s.peer_.known && s.peer_.uid == peer.uid; };
        const auto held = static_cast<std::size_t>(
            std::count_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return sameUid(*s); }));
        if (held >= options_.maxClientsPerUid) {
            auto victim = oldestIdle(sameUid);
            if (!victim) {
                logCapacity(format("refused a client of uid %u: it holds %zu connections, none idle\n",
                                   static_cast<unsigned>(peer.uid), held));
                return false;
            }
            logCapacity(format("closed idle client %d of uid %u to make room for its new one\n", victim->fd_,
                               static_cast<unsigned>(peer.uid)));
            victim->shut(CloseReason::Shed);
        }
    }
    if (sessions_.size() >= options_.maxClients) {
        auto victim = oldestIdle([](const StreamSession&) { return true; });
        if (!victim) {
            logCapacity(format("refused a client: %zu clients connected, none idle\n", sessions_.size()));
            return false;
        }
        logCapacity(
            format("closed idle client %d to make room: %zu clients connected\n", victim->fd_, sessions_.size()));
        victim->shut(CloseReason::Shed);
    }
    return true;
}

void StreamServer::removeSession(StreamSession* session, CloseReason reason, const std::error_code& ec) {
    auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s.get() == session; });
    if (it == sessions_.end()) return;
    std::shared_ptr<StreamSession> keep = *it;
    sessions_.erase(it);
    handler_.onClosed(*keep, reason, ec);
}

}  // namespace orv
