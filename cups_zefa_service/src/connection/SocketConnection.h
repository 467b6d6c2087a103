// The local TCP listener for the CUPS backend: several backends at once (up
// to a cap), each line (one JSON announcement) delivered on its own with the
// means to answer it, and no client able to hold the port for the others.
// Not a host transport: it serves many clients and answers each of them, so
// it stands beside ConnectionBase rather than under it.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <cups_zefa_service/BackendLink.h>

#include "protocol/RawStreamData.h"
#include "runtime/Result.h"
#include "runtime/StreamServer.h"

namespace czs {

// How much of the backend port one local user can take.
struct BackendPortLimits {
    // Backends served at once; CUPS runs one per printing queue.
    std::size_t maxClients = 16;
    // A backend writes its line right after connecting; one that has not
    // finished it by then is holding the port, not printing.
    std::chrono::milliseconds lineDeadline{5000};
    // Bound on the wait for the host channel's verdict on one line; the
    // backend waits a little longer than this for its answer.
    std::chrono::milliseconds answerDeadline{25000};
    int backlog = 16;
};

class SocketConnection : private orv::StreamHandler {
public:
    // An announcement is a few hundred bytes; a client whose line grows past
    // this is dropped rather than allowed to fill our memory.
    static constexpr std::size_t kDefaultMaxLine = 1024 * 1024;
    // A daemon being restarted may still hold the port for a moment; the bind
    // is retried for this long before it counts as failed.
    static constexpr std::chrono::milliseconds kDefaultBindWait{5000};

    using Limits = BackendPortLimits;

    /// Called on the loop thread with each complete line (newline included)
    /// and the answer that line's client is owed (send or drop it, from any
    /// thread).
    using LineCallback = std::function<void(const RawStreamData& line, orv::Answer answer)>;

    SocketConnection(asio::io_context& io, LineCallback callback, std::string address = kBackendAddress,
                     uint16_t port = kBackendPort, std::size_t maxLine = kDefaultMaxLine,
                     std::chrono::milliseconds bindWait = kDefaultBindWait, Limits limits = Limits{});
    ~SocketConnection() override;

    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    /// Binds, listens and starts accepting. A failure carries the error and
    /// names the failed step ("open", "bind" or "listen").
    orv::Result<void> open();
    /// The port actually bound (useful when constructed with port 0).
    uint16_t boundPort() const { return server_.boundPort(); }
    /// Backends connected now.
    std::size_t clientCount() const { return server_.clientCount(); }

private:
    void onRead(orv::StreamSession& session, const std::error_code& ec, std::size_t n) override;
    void onUnit(orv::StreamSession& session, std::span<const uint8_t> unit) override;
    void onClosed(orv::StreamSession& session, orv::CloseReason reason, const std::error_code& ec) override;

    LineCallback callback_;
    std::string address_;
    uint16_t port_;
    Limits limits_;
    orv::StreamServer server_;
};

}  // namespace czs
