// Shared pieces of the mount service's fuzz targets.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "service_log.h"

namespace qmss::fuzz {

inline void quiet_logs() {
  static bool done = false;
  if (!done) {
    set_log_sink([](int, const std::string&) {});
    set_debug_gate(true);  // format every debug line too
    done = true;
  }
}

// A scratch directory, removed when the fuzzer exits.
inline std::string fresh_dir() {
  static std::vector<std::string> dirs;
  char tmpl[] = "/tmp/qmss-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  if (dirs.empty()) {
    std::atexit([] {
      std::error_code ec;
      for (const auto& d : dirs) std::filesystem::remove_all(d, ec);
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
