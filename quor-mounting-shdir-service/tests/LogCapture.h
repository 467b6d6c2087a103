// Records the service's log lines for assertions on their exact texts.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <runtime/Log.h>

#include "LogText.h"

namespace qmss {

using LogLevel = orv::LogLevel;

namespace test {

// Installed as the process's log sink for its lifetime; debug lines pass
// only when `debug` is set, as in the service with `debug: true`.
class LogCapture final : public orv::LogSink {
public:
    explicit LogCapture(bool debug = true) : debug_(debug) { previous_ = orv::setLogSink(this); }
    ~LogCapture() override { orv::setLogSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool enabled(LogLevel level) const noexcept override { return level != LogLevel::Debug || debug_; }
    void write(LogLevel level, const orv::LogTag&, std::string_view text) noexcept override {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.emplace_back(level, std::string(text));
    }
    void setDebug(bool on) { debug_ = on; }

    std::vector<std::pair<LogLevel, std::string>> lines() const {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }
    bool has(LogLevel sev, const std::string& text) const {
        std::lock_guard<std::mutex> lock(mu_);
        return std::find(lines_.begin(), lines_.end(), std::make_pair(sev, text)) != lines_.end();
    }
    size_t count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mu_);
        return static_cast<size_t>(
            std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) { return l.second == text; }));
    }
    bool anyContaining(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mu_);
        return std::any_of(lines_.begin(), lines_.end(),
                           [&](const auto& l) { return l.second.find(part) != std::string::npos; });
    }
    size_t countContaining(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mu_);
        return static_cast<size_t>(std::count_if(
            lines_.begin(), lines_.end(), [&](const auto& l) { return l.second.find(part) != std::string::npos; }));
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
    }

private:
    mutable std::mutex mu_;
    std::vector<std::pair<LogLevel, std::string>> lines_;
    std::atomic<bool> debug_;
    orv::LogSink* previous_ = nullptr;
};

// A fresh directory under /tmp, removed with its contents afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text);

/// Polls `done` every 5 ms until it holds or `ms` have passed; its last answer.
template <class F>
bool eventually(F done, int ms = 3000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

}  // namespace test
}  // namespace qmss
