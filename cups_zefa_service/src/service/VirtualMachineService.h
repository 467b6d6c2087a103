// The host side of the daemon: picks the host transport (shared memory
// first, then the serial port, retrying until one opens), hands what the host
// sends to the SerialPortHandler and writes replies back.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "connection/ConnectionBase.h"
#include "connection/SerialPortConnection.h"
#include "connection/ShmConnection.h"
#include "service/HandlerBase.h"
#include "task/PrintFileRegistry.h"

namespace czs {

class VirtualMachineService {
public:
    enum class Transport { SharedMemory, Serial };
    using ConnectionFactory =
        std::function<std::unique_ptr<ConnectionBase>(Transport, asio::io_context&, ConnectionBase::DataCallback)>;

    struct Options {
        // Its exit status 0 means the desktop agent's unit is installed, so
        // the shared-memory object is worth waiting for.
        std::string unitCheckCommand = std::string("systemctl list-unit-files --quiet ") + "quor-vdagentd.service" +
                                       " > /dev/null 2>&1";
        std::string shmPresencePath = "/dev/shm/orvanta.Printer.0";
        std::chrono::milliseconds waitDeadline{30000};
        std::chrono::milliseconds presencePoll{1000};
        std::chrono::milliseconds retryPause{3000};
        ShmConnection::Options shm{};
        std::string serialPath = SerialPortConnection::kDefaultPortPath;
        // Whether the host's default printer becomes the CUPS default.
        bool followHostDefault = true;
        // Tests replace the transports; empty means the real ones.
        ConnectionFactory makeConnection;
    };

    // The registry is borrowed and must outlive the service. Without a
    // handler, each transport gets a SerialPortHandler made for it.
    VirtualMachineService(asio::io_context& io, PrintFileRegistry& registry);
    VirtualMachineService(asio::io_context& io, Options options, PrintFileRegistry& registry,
                          std::unique_ptr<HandlerBase> handler = nullptr);
    ~VirtualMachineService();

    VirtualMachineService(const VirtualMachineService&) = delete;
    VirtualMachineService& operator=(const VirtualMachineService&) = delete;

    // Returns 0 once a host transport is open; retries until then.
    int32_t open();
    void onData(const RawStreamData& data);
    void send(Reply reply);

    ConnectionBase* connection() const { return connection_.get(); }

private:
    std::unique_ptr<ConnectionBase> makeConnection(Transport t);
    void replaceConnection(std::unique_ptr<ConnectionBase> next);
    void useHandlerFor(Transport t);

    std::unique_ptr<ConnectionBase> connection_;
    std::unique_ptr<HandlerBase> handler_;
    bool handlerInjected_;
    PrintFileRegistry& registry_;
    asio::io_context& io_;
    Options options_;
};

}  // namespace czs
