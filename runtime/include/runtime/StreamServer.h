// The stream-socket server both daemons put in front of local peers they do
// not trust: the print daemon's backend port (TCP on loopback) and the mount
// service's user-info socket (Unix). Every local user can connect to either,
// so the server bounds what one of them can hold: a cap on clients (and on
// clients of one uid), a deadline for each complete unit (a line or a
// fixed-size record), a bound on how long an answer may keep a client, and
// an accept loop that backs off instead of spinning when descriptors run out.
//
// Runs on one asio::io_context: every handler call and every member function
// (except Answer::send and ~Answer) runs on the thread that runs it.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "runtime/Answer.h"
#include "runtime/Result.h"
#include "runtime/StreamHandler.h"
#include "runtime/StreamServerOptions.h"
#include "runtime/StreamSession.h"
#include "runtime/UnixSocketPath.h"

namespace orv {

/// Accepts clients on one listening socket, admits them within the caps and
/// owns their sessions until they close or the server stops.
class StreamServer {
public:
    /// Nothing is opened until listenTcp or listenUnix. `handler` must
    /// outlive the server.
    StreamServer(asio::io_context& io, StreamHandler& handler, StreamServerOptions options);
    /// Stops first (see stop()).
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    /// Binds `address`:`port` (port 0: any) with SO_REUSEADDR and listens.
    /// A failure names its step: "open" (the socket, or a server already
    /// listening), "bind" or "listen".
    Result<void> listenTcp(const std::string& address, uint16_t port);
    /// Puts a listening socket at `path` with the configured mode, replacing
    /// whatever stood there that is not a socket of ours (never following a
    /// link) and logging what it was. A failure names its step: "open" (a
    /// server already listening, or the acceptor) or "bind" (the socket file).
    Result<void> listenUnix(const std::string& path);
    /// Starts accepting. Call after a successful listen.
    void start();
    /// Stops accepting, closes every client and, for a Unix socket, removes
    /// the socket file if it is still ours. Idempotent.
    void stop();

    /// The TCP port bound (useful after port 0); 0 when none.
    uint16_t boundPort() const;
    /// Clients connected now.
    std::size_t clientCount() const noexcept { return sessions_.size(); }
    /// Whether accepting is paused after an accept failure.
    bool acceptPaused() const noexcept { return paused_; }
    /// Whether a listening socket is open.
    bool listening() const noexcept { return acceptor_.is_open(); }
    /// The options given at construction.
    const StreamServerOptions& options() const noexcept { return options_; }

private:
    friend class StreamSession;
    static constexpr const char* kLogTag = "StreamServer";
    void startAccept();
    void onAccept(const std::error_code& ec, StreamSession::Socket socket);
    void admit(StreamSession::Socket socket);
    bool makeRoom(const PeerCredentials& peer);
    void pauseAccepting(const std::error_code& ec);
    void removeSession(StreamSession* session, CloseReason reason, const std::error_code& ec);
    /// Logs a shed or refused client, at most one line a second.
    void logCapacity(const std::string& text);

    asio::io_context& io_;
    StreamHandler& handler_;
    StreamServerOptions options_;
    using Acceptor = asio::basic_socket_acceptor<asio::generic::stream_protocol>;
    Acceptor acceptor_;
    asio::steady_timer pauseTimer_;
    std::list<std::shared_ptr<StreamSession>> sessions_;
    uint64_t nextId_ = 1;
    bool paused_ = false;
    unsigned failures_ = 0;
    std::chrono::milliseconds pause_{0};
    std::optional<UnixSocketFile> unixFile_;
    std::chrono::steady_clock::time_point lastCapacityLine_{};
    unsigned capacityLinesHeld_ = 0;
    std::shared_ptr<StreamServer*> alive_;
};

}  // namespace orv
