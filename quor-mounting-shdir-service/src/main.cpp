// quor-mounting-shdir-service: mounts the folders the host shares into the
// logged-in user's home over WebDAV, on the host's requests.
#include <runtime/ServiceNotify.h>
#include <shm_channel/shm_channel.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <memory>

#include "config.h"
#include "mount/mount_manager.h"
#include "mount/logout_watch.h"
#include "mount/request_queue.h"
#include "mount/service_stop.h"
#include "service_log.h"
#include "user_info/user_info_collector.h"

namespace {

void shm_log_handler(int level, const char* fmt, va_list ap) {
  qmss::service_vlog(level, fmt, ap);
}

int on_shm_connected(void*, shm_endpoint*) {
  qmss::service_log(qmss::kInfo, "Shm connected\n");
  return 0;
}

// user_data is the request queue; the block is decoded and queued, the work
// is done on the queue's worker.
int on_shm_data(void* user_data, shm_endpoint*, const uint8_t* data, size_t len) {
  static_cast<qmss::RequestQueue*>(user_data)->onShmData(data, len);
  return 0;
}

int on_shm_disconnected(void*, shm_endpoint*) {
  qmss::service_log(qmss::kInfo, "Shm disconnected\n");
  return 0;
}

// Waits up to `wait` for SIGINT or SIGTERM, which every thread keeps
// blocked: the signal is taken here, on the main loop, and nowhere else.
// Returns true when one arrived.
bool wait_for_stop(const sigset_t& stop, std::chrono::milliseconds wait) {
  const auto ms = wait.count();
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  for (;;) {
    int sig = sigtimedwait(&stop, nullptr, &ts);
    if (sig == SIGINT || sig == SIGTERM) return true;
    if (sig < 0 && errno == EAGAIN) return false;
    // EINTR: another signal; the remaining time is not reported, so the
    // pause restarts, which only delays the next retry round.
  }
}

}  // namespace

int main(int argc, char** argv) {
  shm_log_set_handler(shm_log_handler, qmss::kError, qmss::kInfo, qmss::kDebug);
  openlog(nullptr, LOG_PID, LOG_USER);
  // Blocked before any thread starts, so every thread inherits the mask and
  // the main loop alone receives the stop signals (sigtimedwait).
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  qmss::ServiceConfig config;
  if (auto path = qmss::scan_arguments(argc, argv)) {
    config = qmss::parse_config(*path);
    qmss::set_debug_gate(config.debug);
    shm_log_set_debug(config.debug ? 1 : 0);
    qmss::log_config(config);
  }

  qmss::ensure_run_dir();

  qmss::RealMountSystem system(config.staging_dir);
  system.prepareStaging();
  qmss::MountManager manager(config, system);
  qmss::ShareStateStore state;
  qmss::adopt_recorded_shares(manager, state);
  qmss::RequestQueue requests(manager);

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
  shm.user_data = &requests;
  shm_endpoint* endpoint = shm_srv_start(&shm);
  if (endpoint == nullptr) {
    qmss::service_log(qmss::kError, "Error while connect to shared memory\n");
    collector.reset();
    return -1;
  }

  std::unique_ptr<qmss::LoginStates> logins = qmss::make_logind_states();
  std::unique_ptr<qmss::LogoutWatch> logouts = qmss::start_logout_watch(manager, *logins, config);

  orv::notify::ready(qmss::shares_status_line(manager.records()));
  qmss::service_log(qmss::kDebug, "Before loop\n");
  // The loop wakes for the retries and, under a service manager that asks
  // for it, for the liveness ping: a loop stuck in a retry stops pinging.
  using Clock = std::chrono::steady_clock;
  // A retry pause of 0 (the configuration allows it) would spin the loop.
  const std::chrono::milliseconds retry_every(std::chrono::seconds(std::max<uint32_t>(config.unmount_task_timeout, 1)));
  const auto ping_every = std::chrono::duration_cast<std::chrono::milliseconds>(orv::notify::watchdogPeriod());
  auto next_retry = Clock::now() + retry_every;
  for (;;) {
    if (ping_every.count() > 0) orv::notify::watchdog();
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_retry - Clock::now());
    if (ping_every.count() > 0) wait = std::min(wait, ping_every);
    if (wait_for_stop(stop, std::max(wait, std::chrono::milliseconds(0)))) break;
    if (Clock::now() >= next_retry) {
      manager.retryFailedUnmounts();
      next_retry = Clock::now() + retry_every;
    }
  }
  orv::notify::stopping();

  collector.reset();
  // Stopping the endpoint unlinks the object, so the next start can create
  // it again; no request can be queued after this.
  shm_stop(endpoint);
  // A mount still hanging would hold the stop for its whole deadline.
  manager.cancelMount();
  requests.stop();
  logouts.reset();
  qmss::SystemdStopProbe probe;
  qmss::end_shares_at_stop(manager, probe, config);
  qmss::service_log(qmss::kInfo, "Service stopped\n");
  return 0;
}
