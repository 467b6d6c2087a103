#include "app/Entry.h"

#include "app/PidFile.h"
#include "common/DaemonStatus.h"
#include <runtime/Log.h>

#include <liblog/logs_cli.h>

#include <asio/executor_work_guard.hpp>
#include <runtime/LogSinks.h>
#include <runtime/ServiceNotify.h>
#include <runtime/StopSignals.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <unordered_map>

namespace czs {

namespace {

class Entry {
public:
    Entry(const EntryPaths& paths, asio::io_context& loop)
        : pidFile_(paths.pidFile),
          loop_(loop),
          signals_(loop, {SIGTERM}, [this](int signo) { onSignal(signo); }),
          watchdog_(loop) {}

    int dispatch(const std::string& command);
    int runDaemon(const ServiceFactory& makeService);

private:
    using Action = void (Entry::*)();
    // Exact, case-sensitive names; built during static initialisation.
    static const std::unordered_map<std::string, Action> kCommands;

    void start();
    void stop();
    void restart();
    void signalAndRemove(pid_t pid);
    void onSignal(int signo);

    PidFile pidFile_;
    asio::io_context& loop_;
    orv::StopSignals signals_;
    orv::WatchdogPing watchdog_;
    bool signalled_ = false;
    int32_t result_ = 0;
};

const std::unordered_map<std::string, Entry::Action> Entry::kCommands = {
    {"start", &Entry::start},
    {"stop", &Entry::stop},
    {"restart", &Entry::restart},
};

void Entry::onSignal(int signo) {
    ORV_LOG(Info, "got signal %d\n", signo);
    orv::notify::stopping();
    signalled_ = true;
    loop_.stop();
}

int Entry::dispatch(const std::string& command) {
    auto it = kCommands.find(command);
    if (it == kCommands.end()) {
        ORV_LOG(Error, "Unknown arg\n");
        return 1;
    }
    (this->*(it->second))();
    return result_;
}

void Entry::start() {
    if (orv::notify::managed()) {
        // A service manager that listens for readiness started this process
        // and tracks it as the daemon: detaching would hide it, and the
        // manager, not a pid file, knows which process to stop.
        return;
    }
    loop_.notify_fork(asio::execution_context::fork_prepare);
    if (::daemon(0, 0) != 0) {
        loop_.notify_fork(asio::execution_context::fork_parent);
        result_ = 1;
        ORV_LOG(Error, "Unable to start daemon\n");
        return;
    }
    // Only the detached child gets here; daemon() ended the parent with 0.
    loop_.notify_fork(asio::execution_context::fork_child);
    pidFile_.write(::getpid());
}

void Entry::signalAndRemove(pid_t pid) {
    ::kill(pid, SIGTERM);
    pidFile_.remove();
    if (pid == ::getpid()) {
        // Our own SIGTERM (a failed start-up): let the loop take it, so its
        // line is logged before the process exits. Another thread may be the
        // one the kernel hands the signal to, so give it a moment.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!signalled_ && std::chrono::steady_clock::now() < deadline) {
            loop_.restart();
            loop_.run_one_for(std::chrono::milliseconds(50));
        }
    }
}

void Entry::stop() {
    pid_t pid = pidFile_.read();
    if (pid <= 0) {
        result_ = 1;
        ORV_LOG(Error, "Daemon already stopped\n");
        return;
    }
    signalAndRemove(pid);
    std::exit(0);
}

void Entry::restart() {
    pid_t pid = pidFile_.read();
    if (pid <= 0) {
        result_ = 1;
        ORV_LOG(Error, "Unable to restart. Daemon isn't running\n");
        return;
    }
    signalAndRemove(pid);
    start();
}

int Entry::runDaemon(const ServiceFactory& makeService) {
    ORV_LOG(Info, "---------Orvanta Cups Daemon---------\n\n");
    ORV_LOG(Info, "Starting Orvanta Cups Daemon\n");

    auto work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(loop_.get_executor());
    std::unique_ptr<PrintChannelService> service = makeService(loop_);

    bool opened = false;
    if (service->openHostChannel() != 0) {
        ORV_LOG(Error, "Serial port not open\n");
    } else if (service->openBackendSocket() != 0) {
        ORV_LOG(Error, "Socket already open\n");
    } else {
        opened = true;
    }

    if (opened) {
        // Ready once the backend port accepts; the host may still be awaited,
        // which the status line says.
        orv::notify::ready(daemon_status::line());
        watchdog_.start();
        loop_.run();  // an error surfaces as std::system_error and ends the process
        orv::notify::stopping();
        ORV_LOG(Info, "Stopped Orvanta Cups Daemon\n");
        log_close();
        service.reset();
        work.reset();
        return 0;
    }

    // Failed start-up: "stop" signals this very process through the pid file
    // and exits 0; only without a pid does it come back here.
    stop();
    service.reset();
    work.reset();
    return -1;
}

}  // namespace

int runEntry(int argc, char** argv, const ServiceFactory& makeService, const EntryPaths& paths) {
    asio::io_context loop;
    Entry entry(paths, loop);

    log_config config;
    log_config_defaults(&config);
    config.path = paths.logFile.c_str();  // copied by log_open
    log_open(&config);
    // Every line goes to that file, the channel library's own messages too,
    // rather than to standard output, which is /dev/null once detached.
    static orv::LiblogFileSink sink;
    orv::setLogSink(&sink);
    orv::routeShmLog(sink);

    if (argc != 2) {
        std::printf("Need to specify command: start, stop, restart\n");
        std::fflush(stdout);
        ORV_LOG(Error, "Need to specify command: start, stop, restart\n");
        log_close();
        return -1;
    }

    if (entry.dispatch(argv[1]) != 0) {
        log_close();
        std::exit(0);
    }
    return entry.runDaemon(makeService);
}

}  // namespace czs
