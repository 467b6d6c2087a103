// The backend side of the daemon: the local socket the CUPS backend announces
// print files on, and the handler that turns them into frames for the host.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include "connection/SocketConnection.h"
#include "service/HandlerBase.h"
#include "task/PrintFileRegistry.h"
#include "task/SpoolDir.h"

namespace czs {

class CupsBackendService {
public:
    using ReplyCallback = std::function<void(Reply)>;

    CupsBackendService(asio::io_context& io, PrintFileRegistry& registry, ReplyCallback onReply,
                       std::string address = SocketConnection::kDefaultAddress,
                       uint16_t port = SocketConnection::kDefaultPort, std::string spoolDir = kSpoolDir,
                       std::chrono::milliseconds bindWait = SocketConnection::kDefaultBindWait);
    ~CupsBackendService();

    CupsBackendService(const CupsBackendService&) = delete;
    CupsBackendService& operator=(const CupsBackendService&) = delete;

    std::error_code open();
    void onData(const RawStreamData& data);

    SocketConnection& connection() { return *connection_; }

private:
    std::unique_ptr<SocketConnection> connection_;
    std::unique_ptr<HandlerBase> handler_;
    ReplyCallback onReply_;
};

}  // namespace czs
