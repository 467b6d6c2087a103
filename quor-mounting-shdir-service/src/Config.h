// Command line, YAML configuration and run directory of the mount service.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmss {

// Every setting of the service, with its default, in one place. Filled once
// before any worker thread starts and read-only afterwards; the manager and
// the davfs2 file steps read it by reference.
struct ServiceConfig {
    // YAML keys.
    bool debug = false;
    std::string mount_dir = "$HOME/davfs/";
    bool use_locks = false;
    bool gui_optimize = true;
    uint32_t unmount_task_timeout = 40;
    // "mount_timeout": seconds the mount command may run before its process
    // group is killed; a silent endpoint must not hold the service for ever.
    uint32_t mount_timeout = 30;
    // "unmount_upload_timeout": seconds a clean unmount (at stop, at logout)
    // waits for davfs2 to upload what a share still holds.
    uint32_t unmount_upload_timeout = 300;
    // "unmount_on_logout": the desktop user's shares end with their session.
    bool unmount_on_logout = true;

    // Fixed by the deployment; tests point them elsewhere.
    std::string endpoint = "127.0.0.1:9843";
    // The program and its first arguments; "-t davfs -o ..." follow.
    std::vector<std::string> mount_command = {"sudo", "mount"};
    // Root-only directory where davfs2 mounts before the mount is moved onto
    // the user's directory. Not under kRunDir, which every user may write.
    std::string staging_dir = "/run/quor-mounting-shdir-service/staging";
    // Root's copy of the davfs2 files that mount.davfs reads.
    std::string davfs_copy_dir = "/run/quor-mounting-shdir-service/davfs";
    // Upper bound of every search for a free numbered name.
    unsigned max_candidates = 1000;
    // davfs2 1.6 cannot list directories on Linux 6.16 and newer with a
    // smaller buffer (the kernel answers "Invalid argument").
    int min_buf_size = 64;
    // Users remembered at once (see MountManager::onUserInfo).
    size_t max_users = 64;
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

// The pause between two rounds of unmount retries: unmount_task_timeout
// seconds, at least one, so that 0 cannot turn the main loop into a spin.
std::chrono::seconds retry_period(const ServiceConfig& config);

// Makes the run directory exist with mode 0777; failures only warn.
void ensure_run_dir(const std::string& path = kRunDir);

}  // namespace qmss
