// Shared pieces of the mount service's fuzz targets.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <runtime/Log.h>

#include "LogText.h"

namespace qmss::fuzz {

// Takes every line, debug included, so each one is formatted, and drops it.
class DiscardAll final : public orv::LogSink {
public:
    bool enabled(orv::LogLevel) const noexcept override { return true; }
    void write(orv::LogLevel, const orv::LogTag&, std::string_view) noexcept override {}
};

inline void quiet_logs() {
    static DiscardAll sink;
    orv::setLogSink(&sink);
}

// A scratch directory, removed when the fuzzer exits.
inline std::string fresh_dir() {
    static std::vector<std::string> dirs;
    char tmpl[] = "/tmp/qmss-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    if (dirs.empty()) {
        std::atexit([] {
            std::error_code ec;
            for (const auto& d : dirs)
                std::filesystem::remove_all(d, ec);
        });
    }
    dirs.push_back(tmpl);
    return tmpl;
}

inline void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace qmss::fuzz
