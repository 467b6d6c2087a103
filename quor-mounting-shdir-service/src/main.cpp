// quor-mounting-shdir-service: mounts the folders the host shares into the
// logged-in user's home over WebDAV, on the host's requests.
#include <shm_channel/shm_channel.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <ctime>
#include <memory>

#include "config.h"
#include "mount/mount_manager.h"
#include "service_log.h"
#include "user_info/user_info_collector.h"

namespace {

volatile std::sig_atomic_t g_running = 1;

void on_signal(int sig) {
  if (sig == SIGINT || sig == SIGTERM) g_running = 0;
}

void shm_log_handler(int level, const char* fmt, va_list ap) {
  qmss::service_vlog(level, fmt, ap);
}

qmss::MountManager* g_manager = nullptr;

int on_shm_connected(void*, shm_endpoint*) {
  qmss::service_log(qmss::kInfo, "Shm connected\n");
  return 0;
}

int on_shm_data(void*, shm_endpoint*, const uint8_t* data, size_t len) {
  g_manager->onShmData(data, len);
  return 0;
}

int on_shm_disconnected(void*, shm_endpoint*) {
  qmss::service_log(qmss::kInfo, "Shm disconnected\n");
  return 0;
}

// Sleeps whole seconds; a signal cuts the sleep short.
void pause_seconds(uint32_t seconds) {
  timespec ts{static_cast<time_t>(seconds), 0};
  nanosleep(&ts, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  shm_log_set_handler(shm_log_handler, qmss::kError, qmss::kInfo, qmss::kDebug);
  openlog(nullptr, LOG_PID, LOG_USER);
  // Installed without SA_RESTART, so the main loop's sleep ends at once.
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  qmss::ServiceConfig config;
  if (auto path = qmss::scan_arguments(argc, argv)) {
    config = qmss::parse_config(*path);
    qmss::set_debug_gate(config.debug);
    shm_log_set_debug(config.debug ? 1 : 0);
    qmss::log_config(config);
  }

  qmss::ensure_run_dir();

  qmss::MountSettings settings;
  settings.mount_dir = config.mount_dir;
  settings.use_locks = config.use_locks;
  settings.gui_optimize = config.gui_optimize;
  qmss::RealMountSystem system;
  qmss::MountManager manager(settings, system);
  g_manager = &manager;

  auto collector = std::make_unique<qmss::UserInfoCollectorServer>(qmss::kUserInfoSocketPath);
  collector->setUserInfoCallback([&manager](const qmss::UserInfo& info) { manager.onUserInfo(info); });
  collector->start();

  shm_config shm;
  shm_config_init(&shm);
  shm.name = "quor-mounting-shdir-service";
  shm.timeout_us = 1200000;
  shm.size = 262144;
  shm.chunk = 8192;
  shm.on_connected = on_shm_connected;
  shm.on_data = on_shm_data;
  shm.on_data_available = nullptr;
  shm.on_disconnected = on_shm_disconnected;
  shm.user_data = nullptr;
  shm_endpoint* endpoint = shm_srv_start(&shm);
  if (endpoint == nullptr) {
    qmss::service_log(qmss::kError, "Error while connect to shared memory\n");
    collector.reset();
    return -1;
  }

  qmss::service_log(qmss::kDebug, "Before loop\n");
  while (g_running) {
    pause_seconds(config.unmount_task_timeout);
    manager.retryFailedUnmounts();
  }

  collector.reset();
  // Stopping the endpoint unlinks the object, so the next start can create
  // it again; no request can reach the manager after this.
  shm_stop(endpoint);
  g_manager = nullptr;
  qmss::service_log(qmss::kInfo, "Service stopped\n");
  return 0;
}
