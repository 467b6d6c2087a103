// The print channel service the entry point drives: the host side and the
// backend side, with announcements from the backend forwarded to the host.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <memory>

#include "common/PrintChannelService.h"
#include "service/CupsBackendService.h"
#include "service/VirtualMachineService.h"
#include "task/PrintFileRegistry.h"
#include "task/SpoolRetention.h"

namespace czs {

class CupsZefaService : public PrintChannelService {
public:
    struct Options {
        VirtualMachineService::Options host{};
        std::string backendAddress = SocketConnection::kDefaultAddress;
        uint16_t backendPort = SocketConnection::kDefaultPort;
        std::string spoolDir = kSpoolDir;
        std::chrono::milliseconds backendBindWait = SocketConnection::kDefaultBindWait;
        std::chrono::minutes spoolRetention{std::chrono::hours(24)};
    };

    explicit CupsZefaService(asio::io_context& io);
    CupsZefaService(asio::io_context& io, Options options);
    // Backend side first, then the host side.
    ~CupsZefaService() override;

    int32_t openHostChannel() override;
    int32_t openBackendSocket() override;
    void onReply(Reply reply);

    VirtualMachineService& host() { return *vm_; }
    CupsBackendService& backend() { return *backend_; }

private:
    // Declared first: both sides borrow it, so it goes last.
    PrintFileRegistry registry_;
    std::unique_ptr<VirtualMachineService> vm_;
    std::unique_ptr<CupsBackendService> backend_;
    SpoolRetention retention_;
};

}  // namespace czs
