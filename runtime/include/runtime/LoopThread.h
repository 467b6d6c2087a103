// An asio::io_context run on a thread of its own, for a program whose main
// thread does something else (the mount service's retry loop). Start and
// stop may come in any order and from any thread: a stop before the start,
// during it or twice never hangs, and a start after a stop does nothing.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace orv {

class LoopThread {
public:
    LoopThread() = default;
    ~LoopThread() { stop(); }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    /// The loop. Objects bound to it must be destroyed after stop().
    asio::io_context& io() noexcept { return io_; }

    /// Runs the loop on a new thread. False when already started or stopped.
    bool start() {
        std::lock_guard<std::mutex> lock(mu_);
        if (started_ || stopped_) return false;
        started_ = true;
        work_.emplace(asio::make_work_guard(io_));
        thread_ = std::thread([this] { io_.run(); });
        return true;
    }

    /// Runs `last` on the loop thread (so it may touch what lives there),
    /// waiting for it at most `grace`, then stops the loop and joins. Without
    /// a running thread `last` runs here. Later calls do nothing.
    void stop(std::function<void()> last = {}, std::chrono::milliseconds grace = std::chrono::milliseconds(2000)) {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopped_) return;
        stopped_ = true;
        if (!started_) {
            if (last) last();
            return;
        }
        if (last) {
            auto done = std::make_shared<std::promise<void>>();
            auto finished = done->get_future();
            asio::post(io_, [last = std::move(last), done] {
                last();
                done->set_value();
            });
            finished.wait_for(grace);
        }
        work_.reset();
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }

    bool running() const {
        std::lock_guard<std::mutex> lock(mu_);
        return started_ && !stopped_;
    }

private:
    asio::io_context io_;
    mutable std::mutex mu_;
    bool started_ = false;
    bool stopped_ = false;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::thread thread_;
};

}  // namespace orv
