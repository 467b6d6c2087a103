// The host channel over the shared-memory object the host agent serves: a
// client endpoint whose thread delivers whole frames, and writes that put
// every frame into the ring whole, one frame at a time, as the reader drains.
#pragma once

#include <shm_channel/orvanta_channels.h>
#include <shm_channel/ShmEndpointOwner.h>
#include <shm_channel/shm_channel.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "connection/ChannelOwnerPolicy.h"
#include "connection/ConnectionBase.h"
#include "connection/FrameAssembler.h"
#include "connection/ShmRingWriter.h"

namespace czs {

class ShmConnection : public ConnectionBase {
public:
    struct Options {
        std::string name = ORV_PRINT_CHANNEL_NAME;
        std::string presencePath = ORV_PRINT_CHANNEL_SHM_PATH;
        uint64_t timeoutUs = 1200000;
        uint32_t size = ORV_PRINT_CHANNEL_SIZE;
        uint16_t chunk = 65535;
        std::size_t maxFrame = FrameAssembler::kDefaultMaxFrame;
        // How long a write waits for ring space without any progress before
        // it gives the frame up.
        std::chrono::milliseconds writeStallLimit{5000};
        // Whose object may be mapped; null trusts any owner. Borrowed: it must
        // outlive the connection.
        const ChannelOwnerPolicy* ownerPolicy = nullptr;
        // Whether open() logs its steps; a retry after the first failed
        // attempt stays quiet so a long wait does not flood the log.
        bool logOpen = true;
    };
    static constexpr std::size_t kReadBuffer = 65535;

    /// Nothing starts before open(); `callbacks` are copied.
    explicit ShmConnection(Callbacks callbacks) : ShmConnection(std::move(callbacks), Options{}) {}
    ShmConnection(Callbacks callbacks, Options options);
    /// Stops the client thread (no callback runs afterwards); fails writes
    /// still waiting for ring space.
    ~ShmConnection() override;

    ShmConnection(const ShmConnection&) = delete;
    ShmConnection& operator=(const ShmConnection&) = delete;

    /// Main thread. Starts the client endpoint; success once started, whether
    /// or not the host is there yet (the client connects on its own thread).
    /// A failure names its step: "stat" (ENOENT: the object is not there) or
    /// "shm_cli_start" (EIO: the library refused to start the client).
    orv::Result<void> open() override;
    /// Any thread; one frame at a time (a second writer waits for the first
    /// frame to be wholly in the ring). Runs `done` on the calling thread.
    void write(Reply reply, WriteDone done) override;

    /// Ends the client thread: afterwards no callback runs and nothing is
    /// delivered or reported. Safe to call more than once; not from a callback.
    void stop();

    /// Whether the host side is connected (any thread).
    bool connected() const { return connected_.load(); }

private:
    static int cliConnected(void* user, shm_endpoint* ep);
    static int channelState(void* user, shm_endpoint* ep, uint32_t unread);
    static int cliDisconnected(void* user, shm_endpoint* ep);
    static int onOwner(void* user, uid_t owner);

    // Puts the rest of `reply` into the ring; false when it was dropped
    // (logged here). `partial` tells whether some of it already went in.
    bool putFrame(Reply& reply, bool& partial);
    void deliverFrames();
    void reportClosed();

    FrameAssembler assembler_;  // client thread only
    Callbacks callbacks_;
    Options options_;
    // Set and cleared on the main thread; the destructor's stop() ends it
    // before any member its callbacks use goes away.
    orv::ShmEndpointOwner client_;
    std::vector<uint8_t> readBuf_;  // client thread only
    std::mutex writeMutex_;         // one frame at a time into the ring
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closedReported_{false};
    std::atomic<uid_t> lastRefusedOwner_{static_cast<uid_t>(-1)};
};

}  // namespace czs
