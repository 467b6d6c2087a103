#include "connection/SerialPortConnection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Log.h"
#include "connection/Sleep.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "SerialPortConnection";
}

SerialPortConnection::SerialPortConnection(asio::io_context& io, DataCallback callback, std::string portPath,
                                           std::size_t maxFrame)
    : io_(io),
      port_(io),
      readBuf_(kReadSize),
      assembler_(maxFrame,
                 [](std::size_t dropped, const char* why) {
                     CZS_LOG_ERROR("extractData", "dropped %zu bytes: %s\n", dropped, why);
                 }),
      callback_(std::move(callback)),
      portPath_(std::move(portPath)),
      alive_(std::make_shared<SerialPortConnection*>(this)) {}

SerialPortConnection::~SerialPortConnection() {
    alive_.reset();
    std::error_code ignored;
    // Close the port before the queued buffers go, so no write is left
    // pointing into freed memory.
    port_.close(ignored);
}

std::error_code SerialPortConnection::open() {
    CZS_LOG_INFO("open", "opening serial port reader: %s\n", portPath_.c_str());
    int fd = ::open(portPath_.c_str(), O_RDWR);
    if (fd < 0) {
        int err = errno;
        logLine(kLogError, nullptr, nullptr, "[SerialPortConnection]:[%s]:: open failed %s\n", "open", std::strerror(err));
        return {err, std::system_category()};
    }
    CZS_LOG_INFO("open", "port opened\n");
    std::error_code ec;
    port_.assign(fd, ec);
    if (ec) {
        CZS_LOG_ERROR("open", "assign: %d %s\n", ec.value(), ec.message().c_str());
        // The descriptor is ours until the port object takes it.
        ::close(fd);
        return ec;
    }
    startRead();
    return {};
}

void SerialPortConnection::startRead() {
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    port_.async_read_some(asio::buffer(readBuf_), [weak](const std::error_code& ec, std::size_t n) {
        if (auto self = weak.lock()) {
            (*self)->handleRead(ec, n);
        }
    });
}

RawStreamData SerialPortConnection::extractData(std::size_t) {
    RawStreamData frame;
    assembler_.next(frame);
    return frame;
}

void SerialPortConnection::handleRead(const std::error_code& ec, std::size_t bytesTransferred) {
    // Paces the loop while the port reports end of file (nothing attached on
    // the host side); every completion pays it.
    sleepFully(0, 1000000);
    if (bytesTransferred != 0) {
        CZS_LOG_INFO("handleRead", "got data with size %zu\n", bytesTransferred);
    }
    if (ec == asio::error::eof) {
        startRead();
        return;
    }
    if (ec) {
        if (ec != asio::error::operation_aborted) {
            CZS_LOG_ERROR("handleRead", "(%d) %s\n", ec.value(), ec.message().c_str());
        }
        return;
    }
    assembler_.append(readBuf_.data(), bytesTransferred);
    if (callback_) {
        // Each complete frame on its own, in arrival order. The callback may
        // destroy nothing of ours, but check the lifetime token anyway.
        std::weak_ptr<SerialPortConnection*> weak = alive_;
        for (RawStreamData frame = extractData(bytesTransferred); !frame.empty(); frame = extractData(0)) {
            callback_(frame);
            if (weak.expired()) {
                return;
            }
        }
    }
    startRead();
}

void SerialPortConnection::write(uint8_t* data, uint64_t size) {
    PendingWrite w{MallocBuffer(data), static_cast<std::size_t>(size)};
    if (!w.data || w.size == 0) {
        return;
    }
    if (io_.get_executor().running_in_this_thread()) {
        enqueue(std::move(w));
        return;
    }
    // From another thread: hand the frame to the loop, which owns the queue.
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    auto shared = std::make_shared<PendingWrite>(std::move(w));
    asio::post(io_, [weak, shared]() {
        if (auto self = weak.lock()) {
            (*self)->enqueue(std::move(*shared));
        }
    });
}

void SerialPortConnection::enqueue(PendingWrite w) {
    writeQueue_.push_back(std::move(w));
    if (writeQueue_.size() == 1) {
        startWrite();
    }
}

void SerialPortConnection::startWrite() {
    // One write at a time: the composed write may take several system writes,
    // and a second frame started meanwhile would interleave with it.
    const PendingWrite& front = writeQueue_.front();
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    asio::async_write(port_, asio::buffer(front.data.get(), front.size),
                      [weak](const std::error_code& ec, std::size_t n) {
                          if (auto self = weak.lock()) {
                              (*self)->handleWrite(ec, n);
                          }
                      });
}

void SerialPortConnection::handleWrite(const std::error_code& ec, std::size_t bytesTransferred) {
    CZS_LOG_INFO("handleWrite", "write data with size %zu\n", bytesTransferred);
    if (ec) {
        CZS_LOG_ERROR("handleWrite", "error (%d) %s\n", ec.value(), ec.message().c_str());
    }
    if (writeQueue_.empty()) {
        return;
    }
    writeQueue_.pop_front();  // frees the written frame
    if (!writeQueue_.empty()) {
        startWrite();
    }
}

}  // namespace czs
