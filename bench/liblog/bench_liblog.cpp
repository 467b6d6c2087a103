// Cost of one logged line through the daemon's logging routine, against a
// bare unbuffered fprintf of the same bytes (the floor: one write syscall)
// and spdlog's synchronous rotating file sink flushed on every line.
#include <runtime/Log.h>
#include <runtime/LogSinks.h>

#include <liblog/logs_cli.h>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

const std::string kDir = "/tmp/bench_liblog." + std::to_string(::getpid());

// The same shape and size as a daemon line (96 bytes with the header).
constexpr const char* kText = "[ChunkPerformer]:[read]: read %d bytes at offset %d\n";

void BM_FprintfFloor(benchmark::State& state) {
    std::filesystem::create_directories(kDir);
    std::string path = kDir + "/floor.log";
    FILE* f = std::fopen(path.c_str(), "a");
    std::setvbuf(f, nullptr, _IONBF, 0);
    int i = 0;
    for (auto _ : state) {
        std::fprintf(f,
                     "[2026-12-08 10:00:00.000 +0000] [PID:%d] [INFO] "
                     "[ChunkPerformer]:[read]: read %d bytes at offset %d\n",
                     1234, 1048576, ++i);
        if ((i & 0xffff) == 0) {  // keep the file small, like rotation would
            benchmark::DoNotOptimize(::ftruncate(fileno(f), 0));
        }
    }
    std::fclose(f);
}

void runLiblog(benchmark::State& state, int32_t maxSize) {
    std::filesystem::create_directories(kDir);
    std::string path = kDir + "/liblog.log";
    log_config cfg;
    log_config_defaults(&cfg);
    cfg.path = path.data();
    cfg.max_size = maxSize;
    log_open(&cfg);
    orv::LiblogFileSink sink;
    orv::LogSink* before = orv::setLogSink(&sink);
    int i = 0;
    for (auto _ : state) {
        orv::log(orv::LogLevel::Info, orv::LogTag{"ChunkPerformer", "read"}, "read %d bytes at offset %d\n", 1048576,
                 ++i);
        if (maxSize == 0 && (i & 0xffff) == 0) {
            benchmark::DoNotOptimize(::ftruncate(fileno(log_file()), 0));
        }
    }
    orv::setLogSink(before);
    log_close();
}

void BM_LiblogNoRotation(benchmark::State& state) {
    runLiblog(state, 0);
}
// Rotating every ~10000 lines: rename, reopen and a thread per rotation.
void BM_LiblogRotating(benchmark::State& state) {
    runLiblog(state, 1 << 20);
}

void BM_SpdlogRotatingFlushEveryLine(benchmark::State& state) {
    std::filesystem::create_directories(kDir);
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(kDir + "/spdlog.log", 1 << 20, 3);
    spdlog::logger logger("bench", sink);
    logger.set_pattern("[%Y-%m-%d %H:%M:%S.%e %z] [PID:%P] [%l] %v");
    logger.flush_on(spdlog::level::trace);
    int i = 0;
    for (auto _ : state) {
        logger.info("[ChunkPerformer]:[read]: read {} bytes at offset {}", 1048576, ++i);
    }
}

}  // namespace

BENCHMARK(BM_FprintfFloor);
BENCHMARK(BM_LiblogNoRotation);
BENCHMARK(BM_LiblogRotating);
BENCHMARK(BM_SpdlogRotatingFlushEveryLine);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(kDir);
    (void)kText;
    return 0;
}
