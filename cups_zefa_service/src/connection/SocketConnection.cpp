#include "connection/SocketConnection.h"

#include <runtime/Log.h>

namespace czs {

namespace {
constexpr const char* kLogTag = "SocketConnection";

orv::StreamServerOptions serverOptions(std::size_t maxLine, std::chrono::milliseconds bindWait,
                                       const SocketConnection::Limits& limits) {
    orv::StreamServerOptions o;
    o.framing = orv::StreamServerOptions::Framing::Line;
    o.maxLine = maxLine;
    o.maxClients = limits.maxClients;
    o.unitDeadline = limits.lineDeadline;
    o.answerDeadline = limits.answerDeadline;
    o.backlog = limits.backlog;
    o.bindWait = bindWait;
    return o;
}
}  // namespace

SocketConnection::SocketConnection(asio::io_context& io, LineCallback callback, std::string address, uint16_t port,
                                   std::size_t maxLine, std::chrono::milliseconds bindWait, Limits limits)
    : callback_(std::move(callback)),
      address_(std::move(address)),
      port_(port),
      limits_(limits),
      server_(io, *this, serverOptions(maxLine, bindWait, limits)) {}

SocketConnection::~SocketConnection() {
    server_.stop();
}

orv::Result<void> SocketConnection::open() {
    ORV_LOG(Info, "opening socket %s:%d\n", address_.c_str(), static_cast<int>(port_));
    orv::Result<void> listening = server_.listenTcp(address_, port_);
    const std::string& failed = listening.context();
    if (!listening && failed == "open") {
        ORV_LOG(Error, "acceptor open failed\n");
        return listening;
    }
    ORV_LOG(Info, "socket opened\n");
    if (!listening) {
        if (failed == "bind") {
            ORV_LOG(Error, "bind failed\n");
        } else {
            ORV_LOG(Error, "listen failed\n");
        }
        return listening;
    }
    server_.start();
    return {};
}

void SocketConnection::onRead(orv::StreamSession&, const std::error_code&, std::size_t n) {
    ORV_LOG_AS(Info, "handleRead", "got data from socket with size=%zu\n", n);
}

void SocketConnection::onUnit(orv::StreamSession& session, std::span<const uint8_t> unit) {
    orv::Answer answer = session.defer();
    if (!callback_) return;  // the answer goes unsent: the client is owed nothing
    callback_(RawStreamData(unit.begin(), unit.end()), std::move(answer));
}

void SocketConnection::onClosed(orv::StreamSession& session, orv::CloseReason reason, const std::error_code& ec) {
    switch (reason) {
        case orv::CloseReason::ReadError:
            ORV_LOG_AS(Error, "handleRead", "read res=%d %s\n", ec.value(), ec.message().c_str());
            break;
        case orv::CloseReason::TooLong:
            ORV_LOG(Error, "line longer than %zu bytes, client dropped\n", server_.options().maxLine);
            break;
        case orv::CloseReason::UnitDeadline:
            ORV_LOG(Error, "client %d sent no complete line within %lld ms, dropped\n", session.fd(),
                    static_cast<long long>(limits_.lineDeadline.count()));
            break;
        case orv::CloseReason::AnswerDeadline:
            ORV_LOG(Error, "no verdict for client %d within %lld ms, dropped without an answer\n", session.fd(),
                    static_cast<long long>(limits_.answerDeadline.count()));
            break;
        case orv::CloseReason::WriteError:
            // Best effort: a backend that did not wait for its answer is gone.
            ORV_LOG(Info, "answer not written to client %d: %s\n", session.fd(), ec.message().c_str());
            break;
        default:
            break;
    }
}

}  // namespace czs
