// SIGTERM handling kept out of signal context: the handler only writes the
// signal number to a pipe; the event loop (or a synchronous drain) reads it,
// logs "got signal N" and stops the loop.
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <mutex>

namespace czs {

class SignalPipe {
public:
    // Creates the pipe and installs the SIGTERM handler with signal().
    static SignalPipe& install();

    // Starts watching the pipe from `loop`; each signal logs and stops it.
    void watch(asio::io_context& loop);
    // Handles, on the calling thread, every signal already received.
    void drain(asio::io_context& loop);
    // Stops watching (before the loop is destroyed or the process exits).
    void unwatch();

private:
    SignalPipe();
    void handle(int signo, asio::io_context& loop);
    void readAsync(asio::io_context& loop);

    int readFd_ = -1;
    int writeFd_ = -1;
    std::mutex drainMutex_;
    std::unique_ptr<asio::posix::stream_descriptor> watcher_;
};

}  // namespace czs
