// The host channel over the virtio serial port: asynchronous reads on the
// event loop, frames reassembled by their length field, writes queued so that
// every frame reaches the port whole and in order.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <shm_channel/orvanta_channels.h>

#include "connection/ConnectionBase.h"
#include "connection/FrameAssembler.h"

namespace czs {

class SerialPortConnection : public ConnectionBase {
public:
    static constexpr const char* kDefaultPortPath = ORV_PRINT_SERIAL_PORT_PATH;
    static constexpr std::size_t kReadSize = 65536;
    // While nothing is attached on the host side the port reads end of file
    // at once; reading again after this pause keeps the loop from spinning.
    static constexpr std::chrono::milliseconds kIdleRetry{50};

    struct Options {
        std::string portPath = kDefaultPortPath;
        std::size_t maxFrame = FrameAssembler::kDefaultMaxFrame;
        // Whether open() logs its steps (quiet on retries of a long wait).
        bool logOpen = true;
    };

    /// Bound to `io`, which runs every read and write; `callbacks` are copied
    /// and run on the loop. Nothing is opened before open().
    SerialPortConnection(asio::io_context& io, Callbacks callbacks)
        : SerialPortConnection(io, std::move(callbacks), Options{}) {}
    SerialPortConnection(asio::io_context& io, Callbacks callbacks, Options options);
    /// Loop thread (or with the loop stopped). Closes the port and fails
    /// every queued write with done(false).
    ~SerialPortConnection() override;

    SerialPortConnection(const SerialPortConnection&) = delete;
    SerialPortConnection& operator=(const SerialPortConnection&) = delete;

    /// Main thread, before or on the loop. Opens the port (refusing anything
    /// but a character device, and never following a link) and starts reading.
    /// A failure names its step: "open" or "fstat" (the system call's errno),
    /// "check directory" (EPERM: others may write the port's directory),
    /// "check device" (ENODEV: not a character device) or "assign".
    orv::Result<void> open() override;
    /// Any thread: a call from outside the loop is handed to it. Frames go out
    /// one after the other, each whole; `done` runs on the loop.
    void write(Reply reply, WriteDone done) override;

private:
    struct PendingWrite {
        Reply reply;
        WriteDone done;
    };
    void startRead();
    void handleRead(const std::error_code& ec, std::size_t bytesTransferred);
    void enqueue(PendingWrite w);
    void startWrite();
    void handleWrite(const std::error_code& ec, std::size_t bytesTransferred);
    void finishFront(bool written);
    void reportClosed();

    asio::io_context& io_;
    asio::posix::stream_descriptor port_;
    asio::steady_timer idleTimer_;
    std::vector<uint8_t> readBuf_;
    FrameAssembler assembler_;
    Callbacks callbacks_;
    Options options_;
    // Loop thread only: the frames waiting to go out, the front one being
    // written; a producer's image is written through `piece_`.
    std::deque<PendingWrite> writeQueue_;
    std::vector<uint8_t> piece_;
    uint64_t frontWritten_ = 0;
    bool closedReported_ = false;
    // Completion handlers hold a weak reference: once the connection is gone
    // they do nothing, even if the loop runs them later.
    std::shared_ptr<SerialPortConnection*> alive_;
};

}  // namespace czs
