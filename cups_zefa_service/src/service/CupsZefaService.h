// The print channel service the entry point drives: the host side and the
// backend side, with announcements from the backend forwarded to the host.
// It owns what both sides share (the print file registry, the settings) and
// decides what a closed host channel means for the daemon.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <memory>

#include <runtime/SeatSessions.h>

#include "common/DaemonConfig.h"
#include "common/PrintChannelService.h"
#include "connection/ChannelOwnerPolicy.h"
#include "service/CupsBackendService.h"
#include "service/VirtualMachineService.h"
#include "task/PrintFileRegistry.h"
#include "task/SpoolRetention.h"

namespace czs {

class CupsZefaService : public PrintChannelService {
public:
    struct Options {
        VirtualMachineService::Options host{};
        std::string backendAddress = kBackendAddress;
        uint16_t backendPort = kBackendPort;
        std::string spoolDir = kSpoolDir;
        std::chrono::milliseconds backendBindWait = SocketConnection::kDefaultBindWait;
        // Who sits at the seat; null asks logind.
        std::shared_ptr<const orv::SeatSessions> seats;
    };

    /// Main thread, before the loop runs. `config` is copied; `io` is borrowed
    /// and outlives the service.
    CupsZefaService(asio::io_context& io, DaemonConfig config) : CupsZefaService(io, std::move(config), Options{}) {}
    CupsZefaService(asio::io_context& io, DaemonConfig config, Options options);
    /// Main thread, loop stopped: backend side first, then the host side.
    ~CupsZefaService() override;

    /// Main thread, once: starts opening the host channel (it keeps trying on
    /// the loop when none is there yet); 0.
    int32_t openHostChannel() override;
    /// Main thread, once: opens the backend's local socket; 0 or the error.
    int32_t openBackendSocket() override;
    /// Loop thread: passes a backend announcement on to the host; `done` is
    /// told whether it went out whole.
    void onReply(Reply reply, WriteDone done);

    /// The backend side (tests reach its socket through it).
    CupsBackendService& backend() { return *backend_; }

private:
    void onHostClosed();

    asio::io_context& io_;
    DaemonConfig config_;
    PrintFileRegistry registry_;
    ChannelOwnerPolicy ownerPolicy_;
    std::unique_ptr<VirtualMachineService> vm_;
    std::unique_ptr<CupsBackendService> backend_;
    SpoolRetention retention_;
};

}  // namespace czs
