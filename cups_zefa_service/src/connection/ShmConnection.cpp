#include "connection/ShmConnection.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>

#include <runtime/Log.h>
#include "connection/ShmRingWriter.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "ShmConnection";
}

ShmConnection::ShmConnection(Callbacks callbacks, Options options)
    : assembler_(options.maxFrame,
                 [](std::size_t dropped, const char* why) {
                     ORV_LOG_AS(Error, "channel_state", "dropped %zu bytes: %s\n", dropped, why);
                 }),
      callbacks_(std::move(callbacks)),
      options_(std::move(options)),
      readBuf_(kReadBuffer) {}

ShmConnection::~ShmConnection() {
    stop();
    ORV_LOG_AS(Info, "close_quor_reader", "closed shm client\n");
}

void ShmConnection::stop() {
    // Our own stop makes the library report a disconnection once more; that
    // one is not the peer leaving and must not reach the owner.
    stopping_ = true;
    if (client_) {
        {
            // A writer waiting for ring space sees the flag and gives up.
            std::lock_guard<std::mutex> lock(writeMutex_);
            connected_ = false;
        }
        client_.reset();
    }
    connected_ = false;
}

orv::Result<void> ShmConnection::open() {
    if (options_.logOpen) {
        ORV_LOG(Info, "opening shm reader: %s\n", options_.name.c_str());
        ORV_LOG_AS(Info, "open_quor_reader", "opening shm client %s\n", options_.name.c_str());
    }
    struct stat st {};
    if (::stat(options_.presencePath.c_str(), &st) != 0 && errno == ENOENT) {
        if (options_.logOpen) {
            ORV_LOG_AS(Error, "open_quor_reader", "cannot find '%s' \n", options_.name.c_str());
        }
        return orv::Error::fromErrno(ENOENT, "stat");
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
    cfg.on_owner = options_.ownerPolicy != nullptr ? &ShmConnection::onOwner : nullptr;
    stopping_ = false;
    client_.reset(shm_cli_start(&cfg));
    if (!client_) {
        ORV_LOG_AS(Error, "open_quor_reader", "cannot open shm client\n");
        return orv::Error::fromErrno(EIO, "shm_cli_start");
    }
    return {};
}

int ShmConnection::onOwner(void* user, uid_t owner) {
    auto* self = static_cast<ShmConnection*>(user);
    const std::string why = self->options_.ownerPolicy->refusal(owner);
    if (why.empty()) {
        self->lastRefusedOwner_ = static_cast<uid_t>(-1);
        return 0;
    }
    // The library asks again on every retry; say it once per owner.
    if (self->lastRefusedOwner_.exchange(owner) != owner) {
        ORV_LOG_AS(Error, "on_owner", "refusing '%s': %s; waiting for the host's own object\n",
                   self->options_.name.c_str(), why.c_str());
    }
    return -1;
}

int ShmConnection::cliConnected(void* user, shm_endpoint* ep) {
    auto* self = static_cast<ShmConnection*>(user);
    ORV_LOG_AS(Info, "cli_connected", "%p connected\n", static_cast<void*>(ep));
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
    ORV_LOG_AS(Info, "cli_disconnected", "%p disconnected\n", static_cast<void*>(ep));
    // A frame cut by the peer's departure must not be glued to the next one.
    self->assembler_.clear();
    self->reportClosed();
    return 0;
}

void ShmConnection::reportClosed() {
    if (stopping_ || closedReported_.exchange(true)) {
        return;
    }
    if (callbacks_.onClosed) {
        callbacks_.onClosed();
    }
}

int ShmConnection::channelState(void* user, shm_endpoint* ep, uint32_t unread) {
    auto* self = static_cast<ShmConnection*>(user);
    ORV_LOG_AS(Info, "channel_state", "%p state %d\n", static_cast<void*>(ep), static_cast<int>(unread));
    ssize_t got = shm_read(ep, self->readBuf_.data(), self->readBuf_.size());
    ORV_LOG_AS(Info, "channel_state", "got data from server size=%zu\n", static_cast<size_t>(got));
    if (got < 0 || static_cast<size_t>(got) > kReadBuffer) {
        return -1;
    }
    self->assembler_.append(std::span(self->readBuf_).first(static_cast<size_t>(got)));
    self->deliverFrames();
    return 0;
}

void ShmConnection::deliverFrames() {
    // Every complete frame on its own, in order; a trailing partial frame
    // waits for the next notification.
    const std::size_t buffered = assembler_.buffered();
    bool logged = false;
    RawStreamData frame;
    while (assembler_.next(frame)) {
        if (!logged) {
            ORV_LOG_AS(Info, "handleRead", "got data with size %zu\n", buffered);
            logged = true;
        }
        if (callbacks_.onFrame) {
            callbacks_.onFrame(frame);
        }
    }
}

void ShmConnection::write(Reply reply, WriteDone done) {
    if (reply.empty()) {
        if (done) done(true);
        return;
    }
    bool partial = false;
    bool written;
    {
        // One frame at a time, and the whole frame: replies from the client
        // thread and announcements from the main thread must not interleave.
        std::lock_guard<std::mutex> lock(writeMutex_);
        written = putFrame(reply, partial);
    }
    if (!written && partial) {
        // The host holds the head of a frame whose tail will never come: the
        // stream can no longer be cut into frames, so the channel is broken.
        ORV_LOG(Error, "frame cut short, the channel cannot be trusted any more\n");
        reportClosed();
    }
    if (done) done(written);
}

bool ShmConnection::putFrame(Reply& reply, bool& partial) {
    const uint64_t size = reply.size();
    const auto stallUs =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(options_.writeStallLimit).count());
    // A frame the ring can hold goes in whole or not at all: a stalled host
    // then never holds the head of a frame whose tail cannot follow, and the
    // channel stays usable. Only a frame larger than the ring goes in as the
    // host drains it.
    bool whole = true;
    while (reply.remaining() > 0) {
        if (!connected_ || !client_) {
            ORV_LOG_AS(Error, "write", "peer not connected, frame of %llu bytes dropped (%llu not sent)\n",
                       static_cast<unsigned long long>(size), static_cast<unsigned long long>(reply.remaining()));
            return false;
        }
        // Waits (without polling) for the reader to free space, at most the
        // stall limit counted from the last progress.
        ssize_t res = shmPutSome(client_.get(), reply, stallUs, whole);
        if (res > 0) {
            partial = true;
            continue;
        }
        if (res == -EMSGSIZE && whole) {
            whole = false;
            continue;
        }
        if (res == -ENOSPC) {
            ORV_LOG_AS(Error, "write", "ring full for %lld ms, frame of %llu bytes dropped (%llu not sent)\n",
                       static_cast<long long>(options_.writeStallLimit.count()), static_cast<unsigned long long>(size),
                       static_cast<unsigned long long>(reply.remaining()));
            return false;
        }
        ORV_LOG_AS(Error, "write", "write res=%zd %s, frame of %llu bytes dropped (%llu not sent)\n", res,
                   shm_strerror(static_cast<int>(res)), static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(reply.remaining()));
        return false;
    }
    partial = false;
    ORV_LOG_AS(Info, "write", "write res=%zu\n", static_cast<size_t>(size));
    return true;
}

}  // namespace czs
