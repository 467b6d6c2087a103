#include "connection/SerialPortConnection.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <runtime/Result.h>
#include <runtime/UniqueFd.h>

#include <runtime/Log.h>

namespace czs {

namespace {
constexpr const char* kLogTag = "SerialPortConnection";
// A producer's image goes out in pieces of this size.
constexpr std::size_t kWritePiece = 64 * 1024;

std::string dirOf(const std::string& path) {
    std::string copy = path;
    return ::dirname(copy.data());
}
std::string baseOf(const std::string& path) {
    std::string copy = path;
    return ::basename(copy.data());
}

// The steps of opening the port that refuse a port which did open.
constexpr const char* kCheckDirectory = "check directory";
constexpr const char* kCheckDevice = "check device";

// Why a failed open refused the port; null when a system call failed.
const char* refusalOf(const std::string& step) {
    if (step == kCheckDirectory) return "its directory may be written by other users";
    if (step == kCheckDevice) return "it is not a character device";
    return nullptr;
}

// Opens the port through its directory, pinned first. The entries under
// /dev/virtio-ports are udev's links to the real device, so the last
// component is followed; what makes that safe is that only root can have put
// it there: the directory must be root's and writable by nobody else, and what
// the link leads to must be a character device. A failure names its step.
orv::Result<orv::UniqueFd> openPort(const std::string& path) {
    orv::UniqueFd dir(::open(dirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        return orv::Error::lastErrno("open");
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) {
        return orv::Error::lastErrno("fstat");
    }
    if ((st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return orv::Error::fromErrno(EPERM, kCheckDirectory);
    }
    orv::UniqueFd fd(::openat(dir.get(), baseOf(path).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        return orv::Error::lastErrno("open");
    }
    if (::fstat(fd.get(), &st) != 0) {
        return orv::Error::lastErrno("fstat");
    }
    if (!S_ISCHR(st.st_mode)) {
        return orv::Error::fromErrno(ENODEV, kCheckDevice);
    }
    return fd;
}
}  // namespace

SerialPortConnection::SerialPortConnection(asio::io_context& io, Callbacks callbacks, Options options)
    : io_(io),
      port_(io),
      idleTimer_(io),
      readBuf_(kReadSize),
      assembler_(options.maxFrame,
                 // Runs inside handleRead, which feeds the assembler.
                 [](std::size_t dropped, const char* why) {
                     ORV_LOG_AS(Error, "handleRead", "dropped %zu bytes: %s\n", dropped, why);
                 }),
      callbacks_(std::move(callbacks)),
      options_(std::move(options)),
      alive_(std::make_shared<SerialPortConnection*>(this)) {}

SerialPortConnection::~SerialPortConnection() {
    alive_.reset();
    std::error_code ignored;
    idleTimer_.cancel();
    // Close the port before the queued replies go, so no write is left
    // pointing into freed memory.
    port_.close(ignored);
    while (!writeQueue_.empty()) {
        finishFront(false);
    }
}

orv::Result<void> SerialPortConnection::open() {
    if (options_.logOpen) {
        ORV_LOG(Info, "opening serial port reader: %s\n", options_.portPath.c_str());
    }
    orv::Result<orv::UniqueFd> fd = openPort(options_.portPath);
    if (!fd) {
        if (options_.logOpen) {
            if (const char* why = refusalOf(fd.context())) {
                ORV_LOG(Error, "refusing %s: %s\n", options_.portPath.c_str(), why);
            } else {
                ::orv::log(::orv::LogLevel::Error, ::orv::LogTag{nullptr, nullptr},
                           "[SerialPortConnection]:[%s]:: open failed %s\n", "open", std::strerror(fd.errnum()));
            }
        }
        return orv::Error{fd.error(), fd.context()};
    }
    ORV_LOG(Info, "port opened\n");
    std::error_code ec;
    port_.assign(fd->get(), ec);
    if (ec) {
        ORV_LOG_AS(Error, "open", "assign: %d %s\n", ec.value(), ec.message().c_str());
        return orv::Error{ec, "assign"};  // the owner closes the descriptor the port did not take
    }
    // The port object owns the descriptor from here on.
    fd->release();
    startRead();
    return {};
}

void SerialPortConnection::startRead() {
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    port_.async_read_some(asio::buffer(readBuf_), [weak](const std::error_code& ec, std::size_t n) {
        if (auto self = weak.lock()) {
            (*self)->handleRead(ec, n);
        }
    });
}

void SerialPortConnection::handleRead(const std::error_code& ec, std::size_t bytesTransferred) {
    if (bytesTransferred != 0) {
        ORV_LOG(Info, "got data with size %zu\n", bytesTransferred);
    }
    if (ec == asio::error::eof) {
        // Nothing attached on the host side yet: look again a little later
        // instead of spinning on end of file.
        std::weak_ptr<SerialPortConnection*> weak = alive_;
        idleTimer_.expires_after(kIdleRetry);
        idleTimer_.async_wait([weak](const std::error_code& tec) {
            if (auto self = weak.lock(); self && !tec) {
                (*self)->startRead();
            }
        });
        return;
    }
    if (ec) {
        if (ec != asio::error::operation_aborted) {
            ORV_LOG_AS(Error, "handleRead", "(%d) %s\n", ec.value(), ec.message().c_str());
            reportClosed();
        }
        return;
    }
    assembler_.append(std::span(readBuf_).first(bytesTransferred));
    // Each complete frame on its own, in arrival order. The owner may destroy
    // this connection from the callback: check the lifetime token each time.
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    RawStreamData frame;
    while (assembler_.next(frame)) {
        if (callbacks_.onFrame) {
            callbacks_.onFrame(frame);
            if (weak.expired()) {
                return;
            }
        }
    }
    startRead();
}

void SerialPortConnection::reportClosed() {
    if (closedReported_) {
        return;
    }
    closedReported_ = true;
    if (callbacks_.onClosed) {
        callbacks_.onClosed();
    }
}

void SerialPortConnection::write(Reply reply, WriteDone done) {
    if (reply.empty()) {
        if (done) done(true);
        return;
    }
    PendingWrite w{std::move(reply), std::move(done)};
    if (io_.get_executor().running_in_this_thread()) {
        enqueue(std::move(w));
        return;
    }
    // From another thread: hand the frame to the loop, which owns the queue.
    // If the connection is gone by then, the frame is dropped and said so.
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    auto shared = std::make_shared<PendingWrite>(std::move(w));
    asio::post(io_, [weak, shared]() {
        if (auto self = weak.lock()) {
            (*self)->enqueue(std::move(*shared));
        } else if (shared->done) {
            shared->done(false);
        }
    });
}

void SerialPortConnection::enqueue(PendingWrite w) {
    writeQueue_.push_back(std::move(w));
    if (writeQueue_.size() == 1) {
        frontWritten_ = 0;
        startWrite();
    }
}

void SerialPortConnection::startWrite() {
    // One write at a time: the composed write may take several system writes,
    // and a second frame started meanwhile would interleave with it.
    Reply& front = writeQueue_.front().reply;
    asio::const_buffer out;
    if (front.data() != nullptr) {
        out = asio::buffer(front.data(), static_cast<std::size_t>(front.size()));
    } else {
        // A producer writes its image piece by piece into our buffer.
        piece_.resize(static_cast<std::size_t>(std::min<uint64_t>(front.remaining(), kWritePiece)));
        piece_.resize(front.take(piece_));
        out = asio::buffer(piece_);
    }
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    asio::async_write(port_, out, [weak](const std::error_code& ec, std::size_t n) {
        if (auto self = weak.lock()) {
            (*self)->handleWrite(ec, n);
        }
    });
}

void SerialPortConnection::handleWrite(const std::error_code& ec, std::size_t bytesTransferred) {
    if (writeQueue_.empty()) {
        return;
    }
    frontWritten_ += bytesTransferred;
    Reply& front = writeQueue_.front().reply;
    if (!ec && front.data() == nullptr && front.remaining() > 0) {
        startWrite();  // the producer's next piece
        return;
    }
    ORV_LOG(Info, "write data with size %zu\n", static_cast<std::size_t>(frontWritten_));
    if (ec) {
        ORV_LOG(Error, "error (%d) %s\n", ec.value(), ec.message().c_str());
    }
    const bool cut = ec && frontWritten_ != 0;
    std::weak_ptr<SerialPortConnection*> weak = alive_;
    finishFront(!ec);
    if (cut) {
        // The host got the head of a frame whose tail will not follow; what
        // comes after could not be cut into frames again.
        reportClosed();
    }
    if (!weak.expired() && !writeQueue_.empty()) {
        frontWritten_ = 0;
        startWrite();
    }
}

void SerialPortConnection::finishFront(bool written) {
    PendingWrite w = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    if (w.done) {
        w.done(written);
    }
}

}  // namespace czs
