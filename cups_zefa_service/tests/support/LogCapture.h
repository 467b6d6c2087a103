// Test helper: routes the daemon's log into a private file for the lifetime
// of the object, so a test can assert on the exact lines it produced.
#pragma once

#include <liblog/logs_cli.h>
#include <runtime/LogSinks.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace czs::test {

class LogCapture {
public:
    LogCapture() {
        char tmpl[] = "/tmp/czs-log-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd >= 0) {
            ::close(fd);
        }
        path_ = tmpl;
        log_config config;
        log_config_defaults(&config);
        config.path = path_.data();
        config.max_size = 0;
        opened_ = log_open(&config) == 0;
        previous_ = orv::setLogSink(&sink_);
    }
    ~LogCapture() {
        orv::setLogSink(previous_);
        log_close();
        ::unlink(path_.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const { return opened_; }
    orv::LogSink& sink() { return sink_; }

    std::string text() const {
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    size_t count(const std::string& needle) const {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }

    struct Line {
        std::string level;  // "INFO", "ERROR", ...; empty when the line has no header
        std::string body;   // the text after the header
    };
    // Every line split into the level name of its header and its text, e.g.
    // {"INFO", "[PrinterManager]:[runRequest]: ..."}.
    std::vector<Line> lines() const {
        std::vector<Line> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) {
            out.push_back(split(line));
        }
        return out;
    }

private:
    orv::LiblogFileSink sink_;
    orv::LogSink* previous_ = nullptr;

    // The header is "[date time zone] [PID:n] [LEVEL] ".
    static Line split(const std::string& line) {
        const auto pid = line.find("] [PID:");
        if (pid == std::string::npos) {
            return {"", line};
        }
        const auto open = line.find("] [", pid + 3);
        const auto close = open == std::string::npos ? open : line.find("] ", open + 3);
        if (close == std::string::npos) {
            return {"", line};
        }
        return {line.substr(open + 3, close - open - 3), line.substr(close + 2)};
    }

    std::string path_;
    bool opened_ = false;
};

}  // namespace czs::test
