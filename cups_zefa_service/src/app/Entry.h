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

using ServiceFactory = std::function<std::unique_ptr<PrintChannelService>(asio::io_context&)>;

// The process-wide event loop every transport of the daemon is bound to.
asio::io_context& eventLoop();

// Runs the entry point; the return value is the process exit status.
int runEntry(int argc, char** argv, const ServiceFactory& makeService,
             const EntryPaths& paths = EntryPaths{});

}  // namespace czs
