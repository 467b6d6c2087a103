// Mirroring 50 printers into a real cupsd, against the lpadmin loop an
// administrator would script for the same 50 queues, measured in the same
// run. Run inside tests/e2e/isolate after tests/e2e/lib/cupsd-start (see
// run-printer-bench). Prints one table of medians and ratios.
#include <cups/cups.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <liblog/logs_cli.h>
#include <runtime/LogSinks.h>

#include "printer/HostChannelPath.h"
#include "printer/UpdatePrintersPerformer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kPrinters = 50;
const std::string kTransport = czs::kShmChannelPath;

std::string name(int i) {
    return "bench-printer-" + std::to_string(i);
}
std::string info(int i) {
    return "Bench printer " + std::to_string(i);
}
std::string location(int i) {
    return "Room " + std::to_string(i);
}

int run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int queueCount() {
    cups_dest_t* dests = nullptr;
    const int n = cupsGetDests(&dests);
    cupsFreeDests(n, dests);
    return n;
}

void removeAllQueues() {
    cups_dest_t* dests = nullptr;
    const int n = cupsGetDests(&dests);
    for (int i = 0; i < n; ++i) {
        run({"lpadmin", "-x", dests[i].name});
    }
    cupsFreeDests(n, dests);
}

double seconds(const std::function<void()>& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

czs::PrintProtocolJsonMsg hostList() {
    json devices = json::array();
    for (int i = 0; i < kPrinters; ++i) {
        devices.push_back({{"name", name(i)},
                           {"device-id", std::to_string(i)},
                           {"printer-info", info(i)},
                           {"printer-location", location(i)},
                           {"printer-make-and-model", "Bench Model"}});
    }
    czs::PrintProtocolJsonMsg msg(czs::kMethodDiscovery, czs::kMsgTypeResponse);
    msg.setField("data", json{{"meta", json::object()}, {"devices", devices}});
    return msg;
}

czs::PrintProtocolJsonMsg emptyList() {
    czs::PrintProtocolJsonMsg msg(czs::kMethodDiscovery, czs::kMsgTypeResponse);
    msg.setField("data", json{{"meta", json::object()}, {"devices", json::array()}});
    return msg;
}

bool check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "printer_bench: %s\n", what);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::ofstream(kTransport) << "";  // the probe then names the shm channel
    // The daemon logs every update to its file; so does the benchmark.
    log_config config;
    log_config_defaults(&config);
    std::string logPath = "/tmp/printer_bench.log";
    config.path = logPath.data();
    log_open(&config);
    static orv::LiblogFileSink sink;  // the daemon's lines into that file
    orv::setLogSink(&sink);
    removeAllQueues();

    czs::PrintFileRegistry registry;
    czs::UpdatePrintersPerformer performer(czs::HostTransport::SharedMemory, registry, true);
    const czs::PrintProtocolJsonMsg list = hostList();
    const czs::PrintProtocolJsonMsg empty = emptyList();
    auto update = [&](const czs::PrintProtocolJsonMsg& msg) {
        performer.parseParameters(msg);
        performer.updatePrinters();
    };

    std::vector<double> lpadminLoop, firstUpdate, reUpdate, removal, unitCheck;
    for (int r = 0; r < rounds; ++r) {
        lpadminLoop.push_back(seconds([&] {
            for (int i = 0; i < kPrinters; ++i) {
                run({"lpadmin", "-p", name(i), "-v", "zefa-prt://" + kTransport + "/" + std::to_string(i), "-D",
                     info(i), "-L", location(i), "-E"});
            }
        }));
        if (!check(queueCount() == kPrinters, "the lpadmin loop did not create 50 queues")) {
            return 1;
        }
        removeAllQueues();

        firstUpdate.push_back(seconds([&] { update(list); }));
        if (!check(queueCount() == kPrinters, "the update did not create 50 queues")) {
            return 1;
        }
        reUpdate.push_back(seconds([&] { update(list); }));
        if (!check(queueCount() == kPrinters, "the re-update changed the queue count")) {
            return 1;
        }
        removal.push_back(seconds([&] { update(empty); }));
        if (!check(queueCount() == 0, "the empty update left queues behind")) {
            return 1;
        }
        // What an update would pay if it asked systemctl for the transport
        // instead of taking the service's: one unit check through the shell.
        unitCheck.push_back(seconds(
            [&] { (void)std::system("systemctl list-unit-files --quiet quor-vdagentd.service > /dev/null 2>&1"); }));
    }

    const double base = median(lpadminLoop);
    std::printf("printer mirroring, %d printers, real cupsd, median of %d rounds\n", kPrinters, rounds);
    std::printf("%-44s %10s %8s\n", "case", "ms", "ratio");
    auto row = [&](const char* label, double s) { std::printf("%-44s %10.1f %8.2f\n", label, s * 1e3, s / base); };
    row("lpadmin -p -v -D -L -E loop (baseline)", base);
    row("update: 50 new queues", median(firstUpdate));
    row("re-update: same 50, nothing changes", median(reUpdate));
    row("removal: empty update deletes all 50", median(removal));
    row("unit check through the shell (not on the update path)", median(unitCheck));
    log_close();
    return 0;
}
