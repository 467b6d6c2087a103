// The backend side of the daemon: the local socket the CUPS backend announces
// print files on, the handler that turns them into frames for the host, and
// the answer each backend gets once the host channel has (or has not) taken
// its announcement.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <cups_zefa_service/BackendLink.h>
#include <runtime/Result.h>

#include "connection/SocketConnection.h"
#include "protocol/Reply.h"
#include "service/HandlerBase.h"
#include "service/SocketHandler.h"
#include "task/PrintFileRegistry.h"
#include "task/SpoolDir.h"

namespace czs {

/// The line the daemon answers each backend line with; the words are
/// backend_answer's in BackendLink.h, which the backend parses.
struct BackendAnswer {
    /// {"status":"ok"} and a newline.
    static std::string ok();
    /// {"status":"error","reason":`reason`} and a newline.
    static std::string error(const std::string& reason);
};

class CupsBackendService {
public:
    /// Hands an announcement frame to the host side; `done` is told once,
    /// possibly on another thread, whether the whole frame reached the host
    /// channel.
    using ReplyCallback = std::function<void(Reply, WriteDone)>;

    /// `registry` must outlive the service; nothing is opened yet.
    CupsBackendService(asio::io_context& io, PrintFileRegistry& registry, ReplyCallback onReply,
                       std::string address = kBackendAddress, uint16_t port = kBackendPort,
                       std::string spoolDir = kSpoolDir,
                       std::chrono::milliseconds bindWait = SocketConnection::kDefaultBindWait,
                       SocketConnection::Limits limits = SocketConnection::Limits{});
    /// The reply callback goes first, then the handler, then the socket.
    ~CupsBackendService();

    CupsBackendService(const CupsBackendService&) = delete;
    CupsBackendService& operator=(const CupsBackendService&) = delete;

    /// Opens the backend socket; a failure names the failed step.
    orv::Result<void> open();
    /// One backend line, on the loop thread: handled at once; `answer` is
    /// sent when the host side reports on the frame (or at once when the line
    /// was refused).
    void onLine(const RawStreamData& line, orv::Answer answer);

    SocketConnection& connection() { return *connection_; }

private:
    std::unique_ptr<SocketConnection> connection_;
    PrintFileRegistry& registry_;
    std::unique_ptr<SocketHandler> handler_;
    ReplyCallback onReply_;
};

}  // namespace czs
