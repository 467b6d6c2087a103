// Points the daemon's log at a temporary file for one test and reads it back.
#pragma once

#include <liblog/logs_cli.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace czs::test {

class LogCapture {
public:
    LogCapture() {
        char tmpl[] = "/tmp/czs_log_XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) {
            ::close(fd);
        }
        path_ = tmpl;
        log_config cfg;
        log_config_defaults(&cfg);
        cfg.path = path_.data();
        cfg.level_mask = 23;
        cfg.max_size = 0;
        log_open(&cfg);
    }
    ~LogCapture() {
        log_close();
        ::unlink(path_.c_str());
    }
    std::string text() const {
        if (FILE* f = log_file()) {
            std::fflush(f);
        }
        std::ifstream in(path_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    std::size_t count(const std::string& needle) const {
        std::string t = text();
        std::size_t n = 0;
        for (std::size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1)) {
            ++n;
        }
        return n;
    }

private:
    std::string path_;
};

}  // namespace czs::test
