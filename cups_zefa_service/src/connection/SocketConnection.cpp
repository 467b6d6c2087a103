#include "connection/SocketConnection.h"

#include <algorithm>

#include "common/Log.h"
#include "connection/Sleep.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "SocketConnection";
constexpr const char* kDelimiter = "\n";
}  // namespace

SocketConnection::SocketConnection(asio::io_context& io, DataCallback callback, std::string address, uint16_t port,
                                   std::size_t maxLine, std::chrono::milliseconds bindWait)
    : client_(io),
      acceptor_(io),
      receive_(maxLine),
      callback_(std::move(callback)),
      address_(std::move(address)),
      port_(port),
      bindWait_(bindWait),
      retryTimer_(io),
      alive_(std::make_shared<SocketConnection*>(this)) {}

SocketConnection::~SocketConnection() {
    alive_.reset();
    std::error_code ignored;
    retryTimer_.cancel();
    acceptor_.close(ignored);
    client_.close(ignored);
}

std::error_code SocketConnection::open() {
    CZS_LOG_INFO("open", "opening socket %s:%d\n", address_.c_str(), static_cast<int>(port_));
    std::error_code ec;
    acceptor_.open(asio::ip::tcp::v4(), ec);
    if (ec) {
        CZS_LOG_ERROR("open", "acceptor open failed\n");
        return ec;
    }
    CZS_LOG_INFO("open", "socket opened\n");
    acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (ec) {
        // Not fatal for the process: report it like the other set-up steps.
        CZS_LOG_ERROR("open", "set_option failed\n");
        return ec;
    }
    asio::ip::address addr = asio::ip::make_address(address_, ec);
    if (ec) {
        CZS_LOG_ERROR("open", "bind failed\n");
        return ec;
    }
    const auto deadline = std::chrono::steady_clock::now() + bindWait_;
    for (;;) {
        acceptor_.bind(asio::ip::tcp::endpoint(addr, port_), ec);
        if (ec != asio::error::address_in_use || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        sleepFully(0, 100000000);
    }
    if (ec) {
        CZS_LOG_ERROR("open", "bind failed\n");
        return ec;
    }
    acceptor_.listen(0, ec);
    if (ec) {
        CZS_LOG_ERROR("open", "listen failed\n");
        return ec;
    }
    startAccept();
    return {};
}

uint16_t SocketConnection::boundPort() const {
    std::error_code ec;
    auto ep = acceptor_.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

void SocketConnection::startAccept() {
    std::error_code ignored;
    if (client_.is_open()) {
        client_.shutdown(asio::socket_base::shutdown_both, ignored);
        client_.close(ignored);
    }
    // Bytes of a line the previous client never finished belong to nobody;
    // kept, they would corrupt the next client's first announcement.
    receive_.consume(receive_.size());
    std::weak_ptr<SocketConnection*> weak = alive_;
    acceptor_.async_accept(client_, [weak](const std::error_code& ec) {
        if (auto self = weak.lock()) {
            (*self)->handleAccept(ec);
        }
    });
}

void SocketConnection::handleAccept(const std::error_code& ec) {
    if (!ec) {
        startRead();
        return;
    }
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        return;
    }
    // A transient failure (out of descriptors, a connection reset before we
    // took it) must not end the backend path for the daemon's lifetime.
    CZS_LOG_ERROR("handleAccept", "accept res=%d %s\n", ec.value(), ec.message().c_str());
    std::weak_ptr<SocketConnection*> weak = alive_;
    retryTimer_.expires_after(std::chrono::milliseconds(100));
    retryTimer_.async_wait([weak](const std::error_code& tec) {
        if (tec) {
            return;
        }
        if (auto self = weak.lock()) {
            (*self)->startAccept();
        }
    });
}

void SocketConnection::startRead() {
    std::weak_ptr<SocketConnection*> weak = alive_;
    asio::async_read_until(client_, receive_, kDelimiter, [weak](const std::error_code& ec, std::size_t n) {
        if (auto self = weak.lock()) {
            (*self)->handleRead(ec, n);
        }
    });
}

void SocketConnection::write(Reply, WriteDone done) {
    if (done) {
        done(false);
    }
}

RawStreamData SocketConnection::extractData(std::size_t) {
    auto bufs = receive_.data();
    auto begin = asio::buffers_begin(bufs);
    auto end = asio::buffers_end(bufs);
    auto nl = std::find(begin, end, '\n');
    if (nl == end) {
        return {};
    }
    RawStreamData line(begin, nl + 1);
    receive_.consume(line.size());
    return line;
}

void SocketConnection::handleRead(const std::error_code& ec, std::size_t bytesTransferred) {
    CZS_LOG_INFO("handleRead", "got data from socket with size=%zu\n", bytesTransferred);
    sleepFully(0, 1000000);
    if (ec == asio::error::eof) {
        startAccept();
        return;
    }
    if (ec == asio::error::operation_aborted) {
        return;
    }
    if (ec == asio::error::not_found) {
        CZS_LOG_ERROR("handleRead", "line longer than %zu bytes, client dropped\n", receive_.max_size());
        startAccept();
        return;
    }
    if (ec) {
        CZS_LOG_ERROR("handleRead", "read res=%d %s\n", ec.value(), ec.message().c_str());
        startAccept();
        return;
    }
    if (callback_) {
        std::weak_ptr<SocketConnection*> weak = alive_;
        for (RawStreamData line = extractData(bytesTransferred); !line.empty(); line = extractData(0)) {
            callback_(line);
            if (weak.expired()) {
                return;
            }
        }
    } else {
        receive_.consume(receive_.size());
    }
    startRead();
}

}  // namespace czs
