// The local TCP listener for the CUPS backend: one client at a time, one JSON
// announcement per newline-terminated line, each line delivered on its own.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "connection/ConnectionBase.h"

namespace czs {

class SocketConnection : public ConnectionBase {
public:
    static constexpr const char* kDefaultAddress = "127.0.0.1";
    static constexpr uint16_t kDefaultPort = 4848;
    // An announcement is a few hundred bytes; a client whose line grows past
    // this is dropped rather than allowed to fill our memory.
    static constexpr std::size_t kDefaultMaxLine = 1024 * 1024;

    // A daemon being restarted may still hold the port for a moment; the bind
    // is retried for this long before it counts as failed.
    static constexpr std::chrono::milliseconds kDefaultBindWait{5000};

    SocketConnection(asio::io_context& io, DataCallback callback, std::string address = kDefaultAddress,
                     uint16_t port = kDefaultPort, std::size_t maxLine = kDefaultMaxLine,
                     std::chrono::milliseconds bindWait = kDefaultBindWait);
    ~SocketConnection() override;

    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    std::error_code open() override;
    void startRead();
    // The daemon never answers the backend over this path: the reply is
    // dropped and `done` told so.
    void write(Reply reply, WriteDone done) override;
    // Takes one line (up to and including its newline) out of the receive
    // buffer; bytes after it stay for the next call.
    RawStreamData extractData(std::size_t bytesTransferred);

    void handleRead(const std::error_code& ec, std::size_t bytesTransferred);

    // The port actually bound (useful when constructed with port 0).
    uint16_t boundPort() const;

private:
    void startAccept();
    void handleAccept(const std::error_code& ec);

    asio::ip::tcp::socket client_;
    asio::ip::tcp::acceptor acceptor_;
    asio::streambuf receive_;
    DataCallback callback_;
    std::string address_;
    uint16_t port_;
    std::chrono::milliseconds bindWait_;
    asio::steady_timer retryTimer_;
    std::shared_ptr<SocketConnection*> alive_;
};

}  // namespace czs
