// The host side of the daemon: picks the host transport (shared memory
// first, then the serial port), waiting on the event loop until one opens,
// hands what the host sends to the SerialPortHandler and writes replies back.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <shm_channel/orvanta_channels.h>

#include "common/DaemonConfig.h"
#include "common/HostTransport.h"
#include "connection/ConnectionBase.h"
#include "connection/SerialPortConnection.h"
#include "connection/ShmConnection.h"
#include "service/HandlerBase.h"
#include "task/PrintFileRegistry.h"

namespace czs {

class VirtualMachineService {
public:
    /// Builds a transport; `logOpen` is false on the quiet retries of a wait.
    using ConnectionFactory = std::function<std::unique_ptr<ConnectionBase>(HostTransport, asio::io_context&,
                                                                            ConnectionBase::Callbacks, bool logOpen)>;
    /// Builds the host handler for the transport that is about to open.
    using HandlerFactory = std::function<std::unique_ptr<HandlerBase>(HostTransport)>;

    struct Options {
        // Its exit status 0 means the desktop agent's unit is installed, so
        // the shared-memory object is worth waiting for.
        std::string unitCheckCommand =
            std::string("systemctl list-unit-files --quiet ") + "quor-vdagentd.service" + " > /dev/null 2>&1";
        std::string shmPresencePath = ORV_PRINT_CHANNEL_SHM_PATH;
        std::chrono::milliseconds waitDeadline{30000};
        std::chrono::milliseconds presencePoll{1000};
        std::chrono::milliseconds retryPause{3000};
        ShmConnection::Options shm{};
        SerialPortConnection::Options serial{};
        // Tests replace the transports and the handler; empty means the real ones.
        ConnectionFactory makeConnection;
        HandlerFactory makeHandler;
    };

    /// `io` runs the open wait and (for the serial port) all host I/O;
    /// `registry` and `config` are borrowed and must outlive the service.
    /// `onClosed` (copied) is told, on the reading thread, when an open host
    /// channel closes; what follows is the owner's decision.
    VirtualMachineService(asio::io_context& io, PrintFileRegistry& registry, const DaemonConfig& config,
                          std::function<void()> onClosed, Options options);
    /// Main thread, loop stopped: stops the host connection before the
    /// handler it delivers into goes.
    ~VirtualMachineService();

    VirtualMachineService(const VirtualMachineService&) = delete;
    VirtualMachineService& operator=(const VirtualMachineService&) = delete;

    /// Main thread, once. Tries the transports at once; when neither opens,
    /// keeps trying from a timer on the event loop (every retryPause, and
    /// sooner while the desktop agent's object is awaited), so the loop and
    /// its signals keep running meanwhile. Returns 0: the wait has started or
    /// a channel is open.
    int32_t open();
    /// The host connection's frame callback: on the loop (serial port) or the
    /// shared-memory client thread; the reply goes back on that thread.
    void onData(const RawStreamData& data);
    /// Any thread (the backend side calls it on the loop). Writes the frame
    /// to the host; without an open channel, logs and tells done(false).
    void send(Reply reply, WriteDone done);

    /// The transport that opened, if any (loop thread).
    std::optional<HostTransport> transport() const { return transport_; }

private:
    void attempt();
    bool tryTransport(HostTransport t, bool logOpen);
    void waitThenAttempt(std::chrono::steady_clock::duration pause);
    void noteWaiting();
    std::unique_ptr<ConnectionBase> makeConnection(HostTransport t, bool logOpen);

    std::unique_ptr<ConnectionBase> connection_;  // null until a channel opened
    std::unique_ptr<HandlerBase> handler_;
    std::optional<HostTransport> handlerTransport_;
    asio::io_context& io_;
    PrintFileRegistry& registry_;
    const DaemonConfig& config_;
    std::function<void()> onClosed_;
    Options options_;
    asio::steady_timer retryTimer_;
    bool unitInstalled_ = false;
    std::chrono::steady_clock::time_point presenceDeadline_;
    unsigned attempts_ = 0;
    bool waiting_ = false;
    std::optional<HostTransport> transport_;
};

}  // namespace czs
