// The mount service's own work per request, without the mount helper: the
// davfs2 file checks of a converged home, and a whole mount + unmount cycle
// through the manager with a stand-in for the system calls. Baseline in the
// same run: spawning /bin/true and waiting for it, the cheapest possible
// mount command.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "davfs/DavfsFiles.h"
#include "mount/MountManager.h"
#include "mount/MountSystem.h"
#include <runtime/Log.h>

namespace {

struct Home {
    std::string path;
    Home() {
        char tmpl[] = "/tmp/qmss-bench-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~Home() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

class NullSystem : public qmss::MountSystem {
public:
    int runCommand(const std::vector<std::string>&, std::chrono::milliseconds) override { return 0; }
    std::string makeStaging(uid_t, const std::string&) override { return "/staging"; }
    void dropStaging(const std::string&) override {}
    orv::Result<uint64_t> moveMount(const std::string&, int, int, const std::string&) override { return uint64_t{1}; }
    orv::Result<void> unmount(int, const std::string&, uint64_t, bool) override { return {}; }
};

void quiet() {
    // No sink: lines are dropped before they are formatted.
    orv::setLogSink(nullptr);
}

void BM_SpawnTrue(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(qmss::run_command({"/bin/true"}, std::chrono::seconds(30)));
    }
}
BENCHMARK(BM_SpawnTrue)->Unit(benchmark::kMicrosecond);

void BM_PrepareDavfsConverged(benchmark::State& state) {
    quiet();
    Home home;
    qmss::ServiceConfig s;
    qmss::prepare_davfs_files(s, home.path);
    for (auto _ : state)
        benchmark::DoNotOptimize(qmss::prepare_davfs_files(s, home.path));
}
BENCHMARK(BM_PrepareDavfsConverged)->Unit(benchmark::kMicrosecond);

void BM_MountUnmountCycle(benchmark::State& state) {
    quiet();
    Home home;
    NullSystem sys;
    qmss::ServiceConfig config;
    config.davfs_copy_dir = home.path + "/root-copy";
    qmss::MountManager manager(config, sys);
    manager.onUserInfo(qmss::UserInfo{"bench", home.path, 1, getuid(), getgid()});
    const uint8_t mount[] = {10, 0, 5, 0, 's', 'h', 'a', 'r', 'e', 1};
    const uint8_t unmount[] = {10, 0, 5, 0, 's', 'h', 'a', 'r', 'e', 0};
    for (auto _ : state) {
        manager.onShmData(mount);
        manager.onShmData(unmount);
    }
}
BENCHMARK(BM_MountUnmountCycle)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
