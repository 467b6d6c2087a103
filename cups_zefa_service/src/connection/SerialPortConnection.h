// The host channel over the virtio serial port: asynchronous reads on the
// event loop, frames reassembled by their length field, writes queued so that
// every frame reaches the port whole and in order.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "connection/ConnectionBase.h"
#include "connection/FrameAssembler.h"

namespace czs {

class SerialPortConnection : public ConnectionBase {
public:
    static constexpr const char* kDefaultPortPath = "/dev/virtio-ports/orvanta.Printer.0";
    static constexpr std::size_t kReadSize = 65536;

    SerialPortConnection(asio::io_context& io, DataCallback callback,
                         std::string portPath = kDefaultPortPath,
                         std::size_t maxFrame = FrameAssembler::kDefaultMaxFrame);
    ~SerialPortConnection() override;

    SerialPortConnection(const SerialPortConnection&) = delete;
    SerialPortConnection& operator=(const SerialPortConnection&) = delete;

    std::error_code open() override;
    void startRead() override;
    void write(uint8_t* data, uint64_t size) override;
    // Returns the next complete frame collected so far (empty when none);
    // call it until it returns empty to drain every frame of one read.
    RawStreamData extractData(std::size_t bytesTransferred) override;

    void handleRead(const std::error_code& ec, std::size_t bytesTransferred);
    void handleWrite(const std::error_code& ec, std::size_t bytesTransferred);

private:
    struct PendingWrite {
        MallocBuffer data;
        std::size_t size;
    };
    void enqueue(PendingWrite w);
    void startWrite();

    asio::io_context& io_;
    asio::posix::stream_descriptor port_;
    std::vector<uint8_t> readBuf_;
    FrameAssembler assembler_;
    DataCallback callback_;
    std::string portPath_;
    std::deque<PendingWrite> writeQueue_;
    // Completion handlers hold a weak reference: once the connection is gone
    // they do nothing, even if the loop runs them later.
    std::shared_ptr<SerialPortConnection*> alive_;
};

}  // namespace czs
