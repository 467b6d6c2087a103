#include "service/VirtualMachineService.h"

#include <sys/stat.h>

#include <cstdlib>

#include "common/DaemonStatus.h"
#include <runtime/Log.h>
#include "service/SerialPortHandler.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "VirtualMachineService";

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

const char* nameOf(HostTransport t) {
    return t == HostTransport::SharedMemory ? "shared memory" : "serial port";
}
}  // namespace

VirtualMachineService::VirtualMachineService(asio::io_context& io, PrintFileRegistry& registry,
                                             const DaemonConfig& config, std::function<void()> onClosed,
                                             Options options)
    : io_(io),
      registry_(registry),
      config_(config),
      onClosed_(std::move(onClosed)),
      options_(std::move(options)),
      retryTimer_(io) {}

VirtualMachineService::~VirtualMachineService() {
    retryTimer_.cancel();
    // The shared-memory client delivers on its own thread: stop it (by
    // destroying the connection) before the handler it delivers into goes.
    connection_.reset();
    handler_.reset();
}

std::unique_ptr<ConnectionBase> VirtualMachineService::makeConnection(HostTransport t, bool logOpen) {
    ConnectionBase::Callbacks callbacks{[this](const RawStreamData& d) { onData(d); },
                                        [this] {
                                            if (onClosed_) onClosed_();
                                        }};
    if (options_.makeConnection) {
        return options_.makeConnection(t, io_, std::move(callbacks), logOpen);
    }
    if (t == HostTransport::SharedMemory) {
        ShmConnection::Options o = options_.shm;
        o.logOpen = logOpen;
        return std::make_unique<ShmConnection>(std::move(callbacks), std::move(o));
    }
    SerialPortConnection::Options o = options_.serial;
    o.logOpen = logOpen;
    return std::make_unique<SerialPortConnection>(io_, std::move(callbacks), std::move(o));
}

int32_t VirtualMachineService::open() {
    unitInstalled_ = std::system(options_.unitCheckCommand.c_str()) == 0;
    presenceDeadline_ = std::chrono::steady_clock::now() + options_.waitDeadline;
    attempt();
    return 0;
}

void VirtualMachineService::attempt() {
    // While the desktop agent is installed but has not created its object yet,
    // look for the object every presencePoll until the deadline, so the
    // shared memory, not the serial port, is what opens once it appears.
    const auto now = std::chrono::steady_clock::now();
    if (unitInstalled_ && now < presenceDeadline_ && !exists(options_.shmPresencePath)) {
        noteWaiting();
        waitThenAttempt(std::min<std::chrono::steady_clock::duration>(options_.presencePoll, presenceDeadline_ - now));
        return;
    }
    // The first attempt tells what it tried; the retries of a wait stay quiet.
    const bool logOpen = attempts_++ == 0;
    for (HostTransport t : {HostTransport::SharedMemory, HostTransport::SerialPort}) {
        if (tryTransport(t, logOpen)) {
            if (waiting_) {
                ORV_LOG_AS(Info, "open", "host channel open over the %s\n", nameOf(t));
            }
            daemon_status::hostOpen(nameOf(t));
            waiting_ = false;
            return;
        }
    }
    noteWaiting();
    waitThenAttempt(options_.retryPause);
}

bool VirtualMachineService::tryTransport(HostTransport t, bool logOpen) {
    // The handler is built for the transport before the channel can deliver,
    // which for shared memory starts on the client thread inside open().
    if (!handler_ || handlerTransport_ != t) {
        handler_ =
            options_.makeHandler ? options_.makeHandler(t) : std::make_unique<SerialPortHandler>(registry_, t, config_);
        handlerTransport_ = t;
    }
    std::unique_ptr<ConnectionBase> candidate = makeConnection(t, logOpen);
    // Stored before open(): once open, a delivery may reply through it at once.
    connection_ = std::move(candidate);
    if (connection_->open()) {
        transport_ = t;
        return true;
    }
    connection_.reset();
    return false;
}

void VirtualMachineService::noteWaiting() {
    if (waiting_) {
        return;
    }
    waiting_ = true;
    ORV_LOG_AS(Info, "open", "waiting for the host channel (shared memory '%s' or serial port '%s')\n",
               options_.shmPresencePath.c_str(), options_.serial.portPath.c_str());
    daemon_status::waitingForHost("shared memory '" + options_.shmPresencePath + "' or serial port '" +
                                  options_.serial.portPath + "'");
}

void VirtualMachineService::waitThenAttempt(std::chrono::steady_clock::duration pause) {
    retryTimer_.expires_after(pause);
    retryTimer_.async_wait([this](const std::error_code& ec) {
        if (!ec) {
            attempt();
        }
    });
}

void VirtualMachineService::onData(const RawStreamData& data) {
    Reply reply = handler_->handle(data);
    if (!reply.empty()) {
        // A reply the channel drops is logged by the connection; the host asks
        // again for what it misses.
        connection_->write(std::move(reply), nullptr);
    }
}

void VirtualMachineService::send(Reply reply, WriteDone done) {
    if (reply.empty()) {
        if (done) done(true);
        return;
    }
    if (!connection_) {
        ORV_LOG(Error, "no host connection, frame of %llu bytes dropped\n",
                static_cast<unsigned long long>(reply.size()));
        if (done) done(false);
        return;
    }
    connection_->write(std::move(reply), std::move(done));
}

}  // namespace czs
