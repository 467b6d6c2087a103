// Serving a 256 MiB print file in 1 MiB chunks through TaskSendChunk::execute
// (read, base64, message, base64, frame), against the floor measured in the
// same run: reading the same bytes plus the two base64 encodes, which any
// implementation of the protocol must do. Also the same work done through
// the generic message serialisation, to show what the splice saves.
#include <benchmark/benchmark.h>
#include <liblog/logs_cli.h>
#include <runtime/LogSinks.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "protocol/Base64.h"
#include "protocol/PrintProtocolFrame.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/Reply.h"
#include "task/ChunkPerformer.h"
#include "task/TaskSendChunk.h"

namespace {

using namespace czs;

constexpr int64_t kFileSize = 256LL << 20;
constexpr int32_t kChunk = 1 << 20;
std::string gPath;

void makeFile() {
    char tmpl[] = "/tmp/czs-bench-chunk-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    gPath = tmpl;
    std::vector<uint8_t> block(kChunk);
    std::mt19937 rng(1);
    for (int64_t done = 0; done < kFileSize; done += kChunk) {
        for (auto& b : block)
            b = static_cast<uint8_t>(rng());
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::abort();
    }
    ::close(fd);
}

std::vector<PrintProtocolJsonMsg> requests(const std::string& id) {
    std::vector<PrintProtocolJsonMsg> out;
    for (int64_t off = 0; off < kFileSize; off += kChunk) {
        PrintProtocolJsonMsg m(kMethodSendFile, kMsgTypeRequest);
        m.setField("data", nlohmann::json{{"id", id}, {"offset", off}, {"size", kChunk}});
        out.push_back(std::move(m));
    }
    return out;
}

// What a transport does with a chunk reply: drains it into the channel's
// memory (here one reused buffer, the size of a ring's free space).
void drainInto(Reply& reply) {
    static std::vector<uint8_t> ring(4 << 20);
    while (reply.remaining() != 0)
        reply.take(ring);
    benchmark::DoNotOptimize(ring.data());
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void BM_Serve256MiB_TaskSendChunk(benchmark::State& state) {
    PrintFileRegistry registry;
    ChunkPerformer performer(registry);
    const auto reqs = requests("bench");
    for (auto _ : state) {
        // Fetching the last byte retires the entry; each round announces anew.
        registry.addFile("bench", gPath);
        for (const auto& req : reqs) {
            TaskSendChunk task(performer, req);
            Reply r = task.execute();
            if (r.empty()) state.SkipWithError("no reply");
            drainInto(r);
        }
    }
    setBytes(state);
}
BENCHMARK(BM_Serve256MiB_TaskSendChunk)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Serve256MiB_Floor(benchmark::State& state) {
    const int fd = ::open(gPath.c_str(), O_RDONLY);
    std::vector<uint8_t> bytes(kChunk);
    std::string once(base64::encodedSize(kChunk), '\0');
    // The message around the chunk adds ~100 bytes; the second encode covers the chunk text.
    std::string twice(base64::encodedSize(once.size()), '\0');
    for (auto _ : state) {
        for (int64_t off = 0; off < kFileSize; off += kChunk) {
            if (::pread(fd, bytes.data(), kChunk, off) != kChunk) state.SkipWithError("short read");
            base64::encode(bytes, std::span<char>(once));
            base64::encode(std::span(reinterpret_cast<const uint8_t*>(once.data()), once.size()),
                           std::span<char>(twice));
            benchmark::DoNotOptimize(twice.data());
            benchmark::ClobberMemory();
        }
    }
    ::close(fd);
    setBytes(state);
}
BENCHMARK(BM_Serve256MiB_Floor)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Serve256MiB_GenericSerialise(benchmark::State& state) {
    const int fd = ::open(gPath.c_str(), O_RDONLY);
    std::vector<uint8_t> bytes(kChunk);
    for (auto _ : state) {
        for (int64_t off = 0; off < kFileSize; off += kChunk) {
            if (::pread(fd, bytes.data(), kChunk, off) != kChunk) state.SkipWithError("short read");
            PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
            msg.setField(
                "data",
                nlohmann::json{{"chunk", base64::encode(bytes)}, {"id", "bench"}, {"offset", off}, {"size", kChunk}});
            const auto payload = msg.serialize();
            PrintProtocolFrame frame(4);
            frame.setPayload(payload.data(), static_cast<uint32_t>(payload.size()));
            uint8_t* buf = nullptr;
            uint64_t size = 0;
            frame.serialize(buf, size);
            Reply r = Reply::adopt(buf, size);
            benchmark::DoNotOptimize(r.data());
        }
    }
    ::close(fd);
    setBytes(state);
}
BENCHMARK(BM_Serve256MiB_GenericSerialise)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    // The tasks log every request; keep that cost but not the noise.
    static char devNull[] = "/dev/null";
    log_config config;
    log_config_defaults(&config);
    config.path = devNull;
    config.max_size = 0;
    log_open(&config);
    static orv::LiblogFileSink sink;  // the daemon's lines into that file
    orv::setLogSink(&sink);

    benchmark::Initialize(&argc, argv);
    makeFile();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::unlink(gPath.c_str());
    log_close();
    return 0;
}
