// Test helper: the process's log sink for the lifetime of the object,
// keeping each line's level, tag and text for assertions.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Log.h"

namespace orv::test {

class LogRecorder final : public LogSink {
public:
    struct Line {
        LogLevel level;
        std::string owner;
        std::string function;
        std::string text;
    };

    LogRecorder() { previous_ = setLogSink(this); }
    ~LogRecorder() override { setLogSink(previous_); }
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    bool enabled(LogLevel) const noexcept override { return true; }
    void write(LogLevel level, const LogTag& tag, std::string_view text) noexcept override {
        std::lock_guard<std::mutex> l(mu_);
        lines_.push_back({level, tag.owner ? tag.owner : "", tag.function ? tag.function : "", std::string(text)});
    }

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> l(mu_);
        return lines_;
    }
    bool logged(const std::string& part) const {
        std::lock_guard<std::mutex> l(mu_);
        for (const auto& line : lines_)
            if (line.text.find(part) != std::string::npos) return true;
        return false;
    }
    bool logged(LogLevel level, const std::string& part) const {
        std::lock_guard<std::mutex> l(mu_);
        for (const auto& line : lines_)
            if (line.level == level && line.text.find(part) != std::string::npos) return true;
        return false;
    }

private:
    mutable std::mutex mu_;
    std::vector<Line> lines_;
    LogSink* previous_ = nullptr;
};

}  // namespace orv::test
