#include "Config.h"

#include <yaml-cpp/yaml.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "LogText.h"

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

namespace {

// One key with yaml-cpp's own conversion and the field's current value as the
// fallback: a value that does not convert leaves the field as it is, and the
// administrator is told which key was not understood.
template <typename T>
T read_key(const YAML::Node& root, const char* key, const T& current, const std::string& path) {
    const YAML::Node node = root[key];
    T value = node.as<T>(current);
    T probe{};
    if (node.IsDefined() && !node.IsNull() && !YAML::convert<T>::decode(node, probe)) {
        ORV_LOG(Warning, "Warning: %s: the value of %s is not understood, it keeps its default\n", path.c_str(), key);
    }
    return value;
}

}  // namespace

ServiceConfig parse_config(const std::string& path) {
    ServiceConfig config;
    // Written before the debug switch is known, and needed to tell which file
    // a later parse error is about, so it is never suppressed.
    ORV_LOG(Info, "Parsing config file %s\n", path.c_str());
    try {
        YAML::Node root = YAML::LoadFile(path);
        config.debug = read_key(root, "debug", config.debug, path);
        config.mount_dir = read_key(root, "mount_dir", config.mount_dir, path);
        config.use_locks = read_key(root, "use_locks", config.use_locks, path);
        config.gui_optimize = read_key(root, "gui_optimize", config.gui_optimize, path);
        config.unmount_task_timeout = read_key(root, "unmount_task_timeout", config.unmount_task_timeout, path);
        config.mount_timeout = read_key(root, "mount_timeout", config.mount_timeout, path);
        config.unmount_upload_timeout = read_key(root, "unmount_upload_timeout", config.unmount_upload_timeout, path);
        config.unmount_on_logout = read_key(root, "unmount_on_logout", config.unmount_on_logout, path);
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
        ORV_LOG(Warning, "Error[%d]: while check if exists %s. %s\n", ec.value(), path.c_str(), ec.message().c_str());
        return;
    }
    if (!fs::exists(st)) {
        bool created = fs::create_directories(path, ec);
        if (ec) {
            ORV_LOG(Warning, "Error[%d]: while creating %s. %s\n", ec.value(), path.c_str(), ec.message().c_str());
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
