#include "connection/ShmConnection.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <thread>

#include "common/Log.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "ShmConnection";
}

ShmConnection::ShmConnection(asio::io_context& io, DataCallback callback)
    : ShmConnection(io, std::move(callback), Options{}) {}

ShmConnection::ShmConnection(asio::io_context& io, DataCallback callback, Options options)
    : assembler_(options.maxFrame,
                 [](std::size_t dropped, const char* why) {
                     CZS_LOG_ERROR("channel_state", "dropped %zu bytes: %s\n", dropped, why);
                 }),
      io_(io),
      callback_(std::move(callback)),
      options_(std::move(options)),
      readBuf_(kReadBuffer) {}

ShmConnection::~ShmConnection() {
    stop();
    CZS_LOG_INFO("close_quor_reader", "closed shm client\n");
}

void ShmConnection::stop() {
    if (client_ != nullptr) {
        shm_stop(client_);
        client_ = nullptr;
    }
    connected_ = false;
}

std::error_code ShmConnection::open() {
    CZS_LOG_INFO("open", "opening shm reader: %s\n", options_.name.c_str());
    CZS_LOG_INFO("open_quor_reader", "opening shm client %s\n", options_.name.c_str());
    struct stat st {};
    if (::stat(options_.presencePath.c_str(), &st) != 0 && errno == ENOENT) {
        CZS_LOG_ERROR("open_quor_reader", "cannot find '%s' \n", options_.name.c_str());
        return {-1, std::system_category()};
    }
    shm_config cfg;
    shm_config_init(&cfg);
    cfg.name = options_.name.c_str();
    cfg.timeout_us = options_.timeoutUs;
    cfg.size = options_.size;
    cfg.chunk = options_.chunk;
    cfg.on_connected = &ShmConnection::cliConnected;
    cfg.on_data = nullptr;
    cfg.on_data_available = &ShmConnection::channelState;
    cfg.on_disconnected = &ShmConnection::cliDisconnected;
    cfg.user_data = this;
    client_ = shm_cli_start(&cfg);
    if (client_ == nullptr) {
        CZS_LOG_ERROR("open_quor_reader", "cannot open shm client\n");
        return {-1, std::system_category()};
    }
    return {};
}

int ShmConnection::cliConnected(void* user, shm_endpoint* ep) {
    auto* self = static_cast<ShmConnection*>(user);
    CZS_LOG_INFO("cli_connected", "%p connected\n", static_cast<void*>(ep));
    self->connected_ = true;
    return 0;
}

int ShmConnection::cliDisconnected(void* user, shm_endpoint* ep) {
    auto* self = static_cast<ShmConnection*>(user);
    {
        // Taking the write lock waits out a write in progress on another
        // thread, and no new one starts once the flag is clear.
        std::lock_guard<std::mutex> lock(self->writeMutex_);
        self->connected_ = false;
    }
    CZS_LOG_INFO("cli_disconnected", "%p disconnected\n", static_cast<void*>(ep));
    // A frame cut by the peer's departure must not be glued to the next one.
    self->assembler_.clear();
    self->io_.stop();
    return 0;
}

int ShmConnection::channelState(void* user, shm_endpoint* ep, uint32_t unread) {
    auto* self = static_cast<ShmConnection*>(user);
    CZS_LOG_INFO("channel_state", "%p state %d\n", static_cast<void*>(ep), static_cast<int>(unread));
    ssize_t got = shm_read(ep, self->readBuf_.data(), self->readBuf_.size());
    CZS_LOG_INFO("channel_state", "got data from server size=%zu\n", static_cast<size_t>(got));
    if (got < 0 || static_cast<size_t>(got) > kReadBuffer) {
        return -1;
    }
    self->assembler_.append(self->readBuf_.data(), static_cast<size_t>(got));
    if (self->assembler_.buffered() >= FrameAssembler::kHeaderSize + FrameAssembler::kTrailerSize) {
        self->handleRead({}, self->assembler_.buffered());
    }
    return 0;
}

RawStreamData ShmConnection::extractData(std::size_t) {
    RawStreamData frame;
    assembler_.next(frame);
    return frame;
}

void ShmConnection::handleRead(const std::error_code&, std::size_t bytes) {
    // Every complete frame on its own, in order; a trailing partial frame
    // waits for the next notification.
    bool logged = false;
    for (RawStreamData frame = extractData(bytes); !frame.empty(); frame = extractData(0)) {
        if (!logged) {
            CZS_LOG_INFO("handleRead", "got data with size %zu\n", bytes);
            logged = true;
        }
        if (callback_) {
            callback_(frame);
        }
    }
}

void ShmConnection::write(uint8_t* data, uint64_t size) {
    MallocBuffer owned(data);
    if (!owned || size == 0) {
        return;
    }
    // One frame at a time, and the whole frame: replies from the client
    // thread and announcements from the main thread must not interleave, and
    // a frame larger than the free ring space goes in as the reader drains it.
    std::lock_guard<std::mutex> lock(writeMutex_);
    const uint8_t* p = owned.get();
    uint64_t left = size;
    auto lastProgress = std::chrono::steady_clock::now();
    auto pause = std::chrono::microseconds(50);
    while (left > 0) {
        if (!connected_ || client_ == nullptr) {
            CZS_LOG_ERROR("write", "peer not connected, frame of %llu bytes dropped (%llu not sent)\n",
                          static_cast<unsigned long long>(size), static_cast<unsigned long long>(left));
            return;
        }
        ssize_t res = shm_write(client_, p, static_cast<size_t>(left));
        if (res > 0) {
            p += res;
            left -= static_cast<uint64_t>(res);
            lastProgress = std::chrono::steady_clock::now();
            pause = std::chrono::microseconds(50);
            continue;
        }
        if (res != -ENOSPC && res != 0) {
            CZS_LOG_ERROR("write", "write res=%zd %s, frame of %llu bytes dropped (%llu not sent)\n", res,
                          shm_strerror(static_cast<int>(res)), static_cast<unsigned long long>(size),
                          static_cast<unsigned long long>(left));
            return;
        }
        if (std::chrono::steady_clock::now() - lastProgress > options_.writeStallLimit) {
            CZS_LOG_ERROR("write", "ring full for %lld ms, frame of %llu bytes dropped (%llu not sent)\n",
                          static_cast<long long>(options_.writeStallLimit.count()),
                          static_cast<unsigned long long>(size), static_cast<unsigned long long>(left));
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    CZS_LOG_INFO("write", "write res=%zu\n", static_cast<size_t>(size));
}

}  // namespace czs
