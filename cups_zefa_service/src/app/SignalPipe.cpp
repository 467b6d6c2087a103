#include "app/SignalPipe.h"

#include "common/Log.h"

#include <asio/read.hpp>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace czs {

namespace {

int g_writeFd = -1;

extern "C" void onSigterm(int signo) {
    // Only async-signal-safe work here: the byte is picked up outside.
    int saved = errno;
    if (g_writeFd >= 0) {
        unsigned char b = static_cast<unsigned char>(signo);
        [[maybe_unused]] ssize_t n = ::write(g_writeFd, &b, 1);
    }
    errno = saved;
}

}  // namespace

SignalPipe::SignalPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        readFd_ = fds[0];
        writeFd_ = fds[1];
        g_writeFd = writeFd_;
    }
}

SignalPipe& SignalPipe::install() {
    static SignalPipe pipe;
    std::signal(SIGTERM, onSigterm);
    return pipe;
}

void SignalPipe::handle(int signo, asio::io_context& loop) {
    logLine(kLogInfo, nullptr, nullptr, "got signal %d\n", signo);
    loop.stop();
}

void SignalPipe::drain(asio::io_context& loop) {
    std::lock_guard<std::mutex> lock(drainMutex_);
    unsigned char b;
    while (readFd_ >= 0 && ::read(readFd_, &b, 1) == 1) {
        handle(b, loop);
    }
}

void SignalPipe::watch(asio::io_context& loop) {
    if (readFd_ < 0) {
        return;
    }
    // The descriptor object owns a duplicate so the pipe itself stays usable
    // for drain() after the watcher is gone.
    int fd = ::fcntl(readFd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    watcher_ = std::make_unique<asio::posix::stream_descriptor>(loop, fd);
    readAsync(loop);
}

void SignalPipe::readAsync(asio::io_context& loop) {
    watcher_->async_wait(asio::posix::stream_descriptor::wait_read,
                         [this, &loop](const asio::error_code& ec) {
                             if (ec) {
                                 return;
                             }
                             drain(loop);
                             if (watcher_) {
                                 readAsync(loop);
                             }
                         });
}

void SignalPipe::unwatch() {
    watcher_.reset();
}

}  // namespace czs
