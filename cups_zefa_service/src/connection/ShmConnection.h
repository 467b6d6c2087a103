// The host channel over the shared-memory object the host agent serves: a
// client endpoint whose thread delivers whole frames, and writes that put
// every frame into the ring whole, one frame at a time.
#pragma once

#include <shm_channel/shm_channel.h>

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "connection/ConnectionBase.h"
#include "connection/FrameAssembler.h"

namespace czs {

class ShmConnection : public ConnectionBase {
public:
    struct Options {
        std::string name = "orvanta.Printer.0";
        std::string presencePath = "/dev/shm/orvanta.Printer.0";
        uint64_t timeoutUs = 1200000;
        uint32_t size = 33554432;
        uint16_t chunk = 65535;
        std::size_t maxFrame = FrameAssembler::kDefaultMaxFrame;
        // How long a write waits for ring space without any progress before
        // it gives the frame up.
        std::chrono::milliseconds writeStallLimit{5000};
    };
    static constexpr std::size_t kReadBuffer = 65535;

    ShmConnection(asio::io_context& io, DataCallback callback);
    ShmConnection(asio::io_context& io, DataCallback callback, Options options);
    ~ShmConnection() override;

    ShmConnection(const ShmConnection&) = delete;
    ShmConnection& operator=(const ShmConnection&) = delete;

    std::error_code open() override;
    void startRead() override {}
    void write(uint8_t* data, uint64_t size) override;
    RawStreamData extractData(std::size_t bytesTransferred) override;
    void handleRead(const std::error_code& ec, std::size_t bytes);

    // Ends the client thread: afterwards no callback runs and nothing is
    // delivered. Safe to call more than once.
    void stop();

    bool connected() const { return connected_.load(); }

private:
    static int cliConnected(void* user, shm_endpoint* ep);
    static int channelState(void* user, shm_endpoint* ep, uint32_t unread);
    static int cliDisconnected(void* user, shm_endpoint* ep);

    FrameAssembler assembler_;
    asio::io_context& io_;
    DataCallback callback_;
    Options options_;
    shm_endpoint* client_ = nullptr;
    std::vector<uint8_t> readBuf_;
    std::mutex writeMutex_;
    std::atomic<bool> connected_{false};
};

}  // namespace czs
