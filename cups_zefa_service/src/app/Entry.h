// The daemon's entry point: one command ("start", "stop", "restart"), the
// pid file, SIGTERM handling and the start-up / shutdown order around the
// print channel service.
#pragma once

#include "common/PrintChannelService.h"

#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>

namespace czs {

struct EntryPaths {
    std::string pidFile = "/var/run/cups_zefa_service.pid";
    std::string logFile = "/var/log/orvanta/cups_daemon.log";
};

/// Builds the service on the daemon's one event loop (main thread, in the
/// detached daemon only, after the start lines are logged).
using ServiceFactory = std::function<std::unique_ptr<PrintChannelService>(asio::io_context&)>;

/// Runs the entry point on the calling (main) thread; the return value is the
/// process exit status. The event loop lives here, and SIGTERM is watched on
/// it from the first moment, so every command process has the handler.
int runEntry(int argc, char** argv, const ServiceFactory& makeService, const EntryPaths& paths = EntryPaths{});

}  // namespace czs
