// quor-mounting-shdir-service: mounts the folders the host shares into the
// logged-in user's home over WebDAV, on the host's requests.
#include <pthread.h>
#include <runtime/LogSinks.h>
#include <runtime/ServiceNotify.h>
#include <runtime/StopSignals.h>
#include <shm_channel/ShmEndpointOwner.h>
#include <shm_channel/orvanta_channels.h>
#include <shm_channel/shm_channel.h>
#include <syslog.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>

#include "Config.h"
#include "mount/MountManager.h"
#include "mount/LogoutWatch.h"
#include "mount/RequestQueue.h"
#include "mount/ServiceStop.h"
#include "LogText.h"
#include "user_info/UserInfoCollector.h"

namespace {

int on_shm_connected(void*, shm_endpoint*) {
    ORV_LOG(Info, "Shm connected\n");
    return 0;
}

// user_data is the request queue; the block is decoded and queued, the work
// is done on the queue's worker.
int on_shm_data(void* user_data, shm_endpoint*, const uint8_t* data, size_t len) {
    static_cast<qmss::RequestQueue*>(user_data)->onShmData(std::span(data, len));
    return 0;
}

int on_shm_disconnected(void*, shm_endpoint*) {
    ORV_LOG(Info, "Shm disconnected\n");
    return 0;
}

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

int main(int argc, char** argv) {
    static orv::SyslogSink sink;
    orv::setLogSink(&sink);
    orv::routeShmLog(sink);
    openlog(nullptr, LOG_PID, LOG_USER);
    // The stop signals are taken on the main loop. Blocked before any thread
    // starts, so every worker inherits the mask and none is interrupted; the
    // main thread unblocks them while its loop runs.
    asio::io_context loop;
    orv::StopSignals stop_signals(loop, {SIGINT, SIGTERM}, [&loop](int) { loop.stop(); });
    const sigset_t stop = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    qmss::ServiceConfig config;
    if (auto path = qmss::scan_arguments(argc, argv)) {
        config = qmss::parse_config(*path);
        sink.setDebug(config.debug);
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

    shm_config shm = orv_mount_channel_config();
    shm.on_connected = on_shm_connected;
    shm.on_data = on_shm_data;
    shm.on_data_available = nullptr;
    shm.on_disconnected = on_shm_disconnected;
    shm.user_data = &requests;
    orv::ShmEndpointOwner endpoint(shm_srv_start(&shm));
    if (endpoint == nullptr) {
        ORV_LOG(Error, "Error while connect to shared memory\n");
        collector.reset();
        return -1;
    }

    std::unique_ptr<qmss::LoginStates> logins = qmss::make_logind_states();
    std::unique_ptr<qmss::LogoutWatch> logouts = qmss::start_logout_watch(manager, *logins, config);

    orv::notify::ready(qmss::shares_status_line(manager.records()));
    ORV_LOG(Debug, "Before loop\n");
    // The loop wakes for the retries and, under a service manager that asks
    // for it, for the liveness ping: a loop stuck in a retry stops pinging.
    orv::PeriodicTask retries(loop, qmss::retry_period(config), [&manager] { manager.retryFailedUnmounts(); });
    retries.start();
    orv::WatchdogPing watchdog(loop);
    watchdog.start();
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    loop.run();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    orv::notify::stopping();

    collector.reset();
    // Stopping the endpoint unlinks the object, so the next start can create
    // it again; no request can be queued after this.
    endpoint.reset();
    // A mount still hanging would hold the stop for its whole deadline.
    manager.cancelMount();
    requests.stop();
    logouts.reset();
    qmss::SystemdStopProbe probe;
    qmss::end_shares_at_stop(manager, probe, config);
    ORV_LOG(Info, "Service stopped\n");
    return 0;
}
