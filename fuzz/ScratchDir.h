// Scratch directories for fuzz targets that need files: each is made fresh
// under /tmp and removed when the fuzzer exits.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fuzzing {

/// A new empty directory named after `prefix` (as "/tmp/qmss-fuzz");
/// aborts when none can be made.
inline std::string scratchDir(const char* prefix) {
    static std::vector<std::string> dirs;
    std::string tmpl = std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
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

}  // namespace fuzzing
