// Command line, YAML configuration and run directory of the mount service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmss {

struct ServiceConfig {
  bool debug = false;
  std::string mount_dir = "$HOME/davfs/";
  bool use_locks = false;
  bool gui_optimize = true;
  uint32_t unmount_task_timeout = 40;
};

inline constexpr const char* kRunDir = "/var/run/orvanta";

// Scans argv[1..]: "-c PATH" picks the configuration file (the last one wins);
// anything else is warned about and skipped.
std::optional<std::string> scan_arguments(int argc, const char* const* argv);

// Reads the YAML file; a missing or broken file logs one error line and gives
// the defaults, a bad value keeps that field's default.
ServiceConfig parse_config(const std::string& path);

// The five info lines that show which configuration is in force.
void log_config(const ServiceConfig& config);

// Makes the run directory exist with mode 0777; failures only warn.
void ensure_run_dir(const std::string& path = kRunDir);

}  // namespace qmss
