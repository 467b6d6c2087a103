// Sends the daemon's log to a temporary file for the lifetime of the object,
// so a test can assert on the exact lines an operation wrote.
#pragma once

#include <liblog/logs_cli.h>
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
        char tmpl[] = "/tmp/czs-printer-log-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd >= 0) {
            ::close(fd);
        }
        m_path = tmpl;
        log_config config;
        log_config_defaults(&config);
        config.path = m_path.data();
        config.max_size = 0;
        m_opened = log_open(&config) == 0;
    }
    ~LogCapture() {
        log_close();
        ::unlink(m_path.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool opened() const { return m_opened; }

    struct Line {
        std::string level;  // "INFO", "ERROR", ...; empty when no header
        std::string body;   // the text after the header
    };

    // Every line split into the level name of its header and its text, e.g.
    // {"INFO", "[PrinterManager]:[runRequest] error: not-found"}.
    std::vector<Line> lines() const {
        std::vector<Line> out;
        std::ifstream in(m_path);
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(split(line));
        }
        return out;
    }

private:
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

    std::string m_path;
    bool m_opened = false;
};

}  // namespace czs::test
