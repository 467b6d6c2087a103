#include "service/VirtualMachineService.h"

#include <sys/stat.h>

#include <cstdlib>

#include "common/Log.h"
#include "connection/Sleep.h"
#include "service/SerialPortHandler.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "VirtualMachineService";

void sleepFor(std::chrono::milliseconds d) {
    auto ms = d.count();
    sleepFully(static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}
}  // namespace

VirtualMachineService::VirtualMachineService(asio::io_context& io, PrintFileRegistry& registry)
    : VirtualMachineService(io, Options{}, registry) {}

VirtualMachineService::VirtualMachineService(asio::io_context& io, Options options, PrintFileRegistry& registry,
                                             std::unique_ptr<HandlerBase> handler)
    : handler_(std::move(handler)), handlerInjected_(handler_ != nullptr), registry_(registry), io_(io),
      options_(std::move(options)) {}

void VirtualMachineService::useHandlerFor(Transport t) {
    // The printer layer names the channel in its queues' device URIs, so the
    // handler is made for the transport about to open (no connection is
    // open at this point, so nothing delivers into the old one).
    if (handlerInjected_) return;
    handler_ = std::make_unique<SerialPortHandler>(
        registry_, t == Transport::SharedMemory ? HostTransport::SharedMemory : HostTransport::SerialPort,
        options_.followHostDefault);
}

VirtualMachineService::~VirtualMachineService() {
    // The shared-memory client delivers on its own thread: stop it (by
    // destroying the connection) before the handler it delivers into goes.
    connection_.reset();
    handler_.reset();
}

std::unique_ptr<ConnectionBase> VirtualMachineService::makeConnection(Transport t) {
    auto cb = [this](const RawStreamData& d) { onData(d); };
    if (options_.makeConnection) {
        return options_.makeConnection(t, io_, cb);
    }
    if (t == Transport::SharedMemory) {
        return std::make_unique<ShmConnection>(io_, cb, options_.shm);
    }
    return std::make_unique<SerialPortConnection>(io_, cb, options_.serialPath);
}

void VirtualMachineService::replaceConnection(std::unique_ptr<ConnectionBase> next) {
    // The new connection is stored first; the previous one is destroyed after.
    std::unique_ptr<ConnectionBase> previous = std::move(connection_);
    connection_ = std::move(next);
    previous.reset();
}

int32_t VirtualMachineService::open() {
    const bool unitInstalled = std::system(options_.unitCheckCommand.c_str()) == 0;
    const auto deadline = std::chrono::steady_clock::now() + options_.waitDeadline;
    for (;;) {
        if (unitInstalled) {
            while (!exists(options_.shmPresencePath) && std::chrono::steady_clock::now() < deadline) {
                sleepFor(options_.presencePoll);
            }
        }
        replaceConnection(makeConnection(Transport::SharedMemory));
        useHandlerFor(Transport::SharedMemory);
        if (!connection_->open()) {
            return 0;
        }
        replaceConnection(makeConnection(Transport::Serial));
        useHandlerFor(Transport::Serial);
        if (!connection_->open()) {
            return 0;
        }
        sleepFor(options_.retryPause);
    }
}

void VirtualMachineService::onData(const RawStreamData& data) {
    Reply reply = handler_->handle(data);
    if (!reply.empty()) {
        send(std::move(reply));
    }
}

void VirtualMachineService::send(Reply reply) {
    if (reply.empty()) {
        return;
    }
    if (!connection_) {
        CZS_LOG_ERROR("send", "no host connection, frame of %llu bytes dropped\n",
                      static_cast<unsigned long long>(reply.size()));
        return;
    }
    const uint64_t size = reply.size();
    if (reply.data() == nullptr) {
        // A produced reply (a chunk response): these transports write whole
        // buffers, so the image is drained into one.
        auto* buffer = static_cast<uint8_t*>(std::malloc(size));
        if (buffer == nullptr) {
            CZS_LOG_ERROR("send", "Print error while memory allocation\n");
            return;
        }
        for (uint64_t at = 0; at < size;) at += reply.take(buffer + at, size - at);
        connection_->write(buffer, size);
        return;
    }
    connection_->write(reply.releaseBuffer().release(), size);
}

}  // namespace czs
