#include "config.h"

#include <yaml-cpp/yaml.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "log_text.h"

namespace qmss {

namespace fs = std::filesystem;

std::optional<std::string> scan_arguments(int argc, const char* const* argv) {
  std::optional<std::string> path;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
      path = argv[i + 1];
      ++i;
      continue;
    }
    ORV_LOG(Warning, "Unknown argument %d: %s\n", i, argv[i]);
  }
  return path;
}

ServiceConfig parse_config(const std::string& path) {
  ServiceConfig config;
  // Written before the debug switch is known, and needed to tell which file
  // a later parse error is about, so it is never suppressed.
  ORV_LOG(Info, "Parsing config file %s\n", path.c_str());
  try {
    YAML::Node root = YAML::LoadFile(path);
    config.debug = root["debug"].as<bool>(config.debug);
    config.mount_dir = root["mount_dir"].as<std::string>(config.mount_dir);
    config.use_locks = root["use_locks"].as<bool>(config.use_locks);
    config.gui_optimize = root["gui_optimize"].as<bool>(config.gui_optimize);
    config.unmount_task_timeout =
        root["unmount_task_timeout"].as<uint32_t>(config.unmount_task_timeout);
    config.mount_timeout = root["mount_timeout"].as<uint32_t>(config.mount_timeout);
    config.unmount_upload_timeout =
        root["unmount_upload_timeout"].as<uint32_t>(config.unmount_upload_timeout);
    config.unmount_on_logout = root["unmount_on_logout"].as<bool>(config.unmount_on_logout);
  } catch (const std::exception& e) {
    ORV_LOG(Error, "Error while parse configuration file %s: %s\n", path.c_str(), e.what());
  }
  return config;
}

void log_config(const ServiceConfig& config) {
  ORV_LOG(Info, "Config debug %d\n", config.debug ? 1 : 0);
  ORV_LOG(Info, "Config mount_dir %s\n", config.mount_dir.c_str());
  ORV_LOG(Info, "Config use_locks is %s\n", config.use_locks ? "enabled" : "disabled");
  ORV_LOG(Info, "Config gui_optimize is %s\n", config.gui_optimize ? "enabled" : "disabled");
  ORV_LOG(Info, "Config unmount_task_timeout is %u\n", config.unmount_task_timeout);
  ORV_LOG(Info, "Config mount_timeout is %u\n", config.mount_timeout);
  ORV_LOG(Info, "Config unmount_upload_timeout is %u\n", config.unmount_upload_timeout);
  ORV_LOG(Info, "Config unmount_on_logout is %s\n", config.unmount_on_logout ? "enabled" : "disabled");
}

void ensure_run_dir(const std::string& path) {
  std::error_code ec;
  fs::file_status st = fs::status(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    ORV_LOG(Warning, "Error[%d]: while check if exists %s. %s\n", ec.value(), path.c_str(),
            ec.message().c_str());
    return;
  }
  if (!fs::exists(st)) {
    bool created = fs::create_directories(path, ec);
    if (ec) {
      ORV_LOG(Warning, "Error[%d]: while creating %s. %s\n", ec.value(), path.c_str(),
              ec.message().c_str());
      return;
    }
    if (!created) return;
  }
  fs::permissions(path, fs::perms::all, fs::perm_options::replace, ec);
  if (ec) {
    ORV_LOG(Warning, "Error[%d]: while set permissions on %s. %s\n", ec.value(), path.c_str(),
            ec.message().c_str());
  }
}

std::chrono::seconds retry_period(const ServiceConfig& config) {
  return std::chrono::seconds(config.unmount_task_timeout == 0 ? 1 : config.unmount_task_timeout);
}

}  // namespace qmss
