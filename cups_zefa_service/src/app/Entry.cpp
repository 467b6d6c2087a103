#include "app/Entry.h"

#include "app/PidFile.h"
#include "app/SignalPipe.h"
#include "common/Log.h"

#include <liblog/logs_cli.h>

#include <asio/executor_work_guard.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <unordered_map>

namespace czs {

asio::io_context& eventLoop() {
    static asio::io_context loop;
    return loop;
}

namespace {

// Touch the loop during static initialisation so it exists before main.
[[maybe_unused]] const asio::io_context& g_loopAtStart = eventLoop();

class Entry {
public:
    Entry(const EntryPaths& paths, SignalPipe& signals)
        : pidFile_(paths.pidFile), signals_(signals) {}

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

    PidFile pidFile_;
    SignalPipe& signals_;
    int32_t result_ = 0;
};

const std::unordered_map<std::string, Entry::Action> Entry::kCommands = {
    {"start", &Entry::start},
    {"stop", &Entry::stop},
    {"restart", &Entry::restart},
};


int Entry::dispatch(const std::string& command) {
    auto it = kCommands.find(command);
    if (it == kCommands.end()) {
        logLine(kLogError, nullptr, nullptr, "Unknown arg\n");
        return 1;
    }
    (this->*(it->second))();
    return result_;
}

void Entry::start() {
    eventLoop().notify_fork(asio::execution_context::fork_prepare);
    if (::daemon(0, 0) != 0) {
        eventLoop().notify_fork(asio::execution_context::fork_parent);
        result_ = 1;
        logLine(kLogError, nullptr, nullptr, "Unable to start daemon\n");
        return;
    }
    // Only the detached child gets here; daemon() ended the parent with 0.
    eventLoop().notify_fork(asio::execution_context::fork_child);
    pidFile_.write(::getpid());
}

void Entry::signalAndRemove(pid_t pid) {
    ::kill(pid, SIGTERM);
    pidFile_.remove();
    if (pid == ::getpid()) {
        // Our own SIGTERM was delivered before kill() returned; log it now,
        // before the process may exit.
        signals_.drain(eventLoop());
    }
}

void Entry::stop() {
    pid_t pid = pidFile_.read();
    if (pid <= 0) {
        result_ = 1;
        logLine(kLogError, nullptr, nullptr, "Daemon already stopped\n");
        return;
    }
    signalAndRemove(pid);
    std::exit(0);
}

void Entry::restart() {
    pid_t pid = pidFile_.read();
    if (pid <= 0) {
        result_ = 1;
        logLine(kLogError, nullptr, nullptr, "Unable to restart. Daemon isn't running\n");
        return;
    }
    signalAndRemove(pid);
    start();
}

int Entry::runDaemon(const ServiceFactory& makeService) {
    logLine(kLogInfo, nullptr, nullptr, "---------Orvanta Cups Daemon---------\n\n");
    logLine(kLogInfo, nullptr, nullptr, "Starting Orvanta Cups Daemon\n");

    asio::io_context& loop = eventLoop();
    auto work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
        loop.get_executor());
    signals_.watch(loop);
    std::unique_ptr<PrintChannelService> service = makeService(loop);

    bool opened = false;
    if (service->openHostChannel() != 0) {
        logLine(kLogError, nullptr, nullptr, "Serial port not open\n");
    } else if (service->openBackendSocket() != 0) {
        logLine(kLogError, nullptr, nullptr, "Socket already open\n");
    } else {
        opened = true;
    }

    if (opened) {
        loop.run();  // an error surfaces as std::system_error and ends the process
        logLine(kLogInfo, nullptr, nullptr, "Stopped Orvanta Cups Daemon\n");
        log_close();
        signals_.unwatch();
        service.reset();
        work.reset();
        return 0;
    }

    // Failed start-up: "stop" signals this very process through the pid file
    // and exits 0; only without a pid does it come back here.
    stop();
    signals_.unwatch();
    service.reset();
    work.reset();
    return -1;
}

}  // namespace

int runEntry(int argc, char** argv, const ServiceFactory& makeService, const EntryPaths& paths) {
    SignalPipe& signals = SignalPipe::install();

    log_config config;
    log_config_defaults(&config);
    config.path = paths.logFile.c_str();  // copied by log_open
    log_open(&config);

    if (argc != 2) {
        std::printf("Need to specify command: start, stop, restart\n");
        std::fflush(stdout);
        logLine(kLogError, nullptr, nullptr, "Need to specify command: start, stop, restart\n");
        log_close();
        return -1;
    }

    Entry entry(paths, signals);
    if (entry.dispatch(argv[1]) != 0) {
        log_close();
        std::exit(0);
    }
    return entry.runDaemon(makeService);
}

}  // namespace czs
