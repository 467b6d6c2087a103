// Shared pieces of the mount service's fuzz targets.
#pragma once

#include "ScratchDir.h"

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

inline std::string fresh_dir() {
    return fuzzing::scratchDir("/tmp/qmss-fuzz");
}

inline void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace qmss::fuzz
