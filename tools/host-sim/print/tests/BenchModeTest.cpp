// host-sim's benchmark mode must still catch a wrong answer although it lets
// most chunk responses stream past: the tails name the chunk, sampled chunks
// are checked in full, and a frame may arrive in any cut.
#include "HostSim.h"
#include "Pattern.h"
#include "WireCodec.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>

namespace hostsim {
namespace {

using nlohmann::json;

std::vector<uint8_t> message(const json& j) {
    return wire::frame(wire::base64Encode(j.dump()));
}

struct Host {
    std::deque<json> requests;  // what host-sim asked the daemon for
    HostSim sim;

    explicit Host(unsigned sampleEvery)
        : sim(settings(sampleEvery), [this](const uint8_t* p, std::size_t n) {
              std::string why;
              auto m = wire::decode(std::span(p, n), why);
              EXPECT_TRUE(m) << why;
              if (m) requests.push_back(m->json["data"]);
              return true;
          }) {}

    static Settings settings(unsigned sampleEvery) {
        Settings s;
        s.bench = true;
        s.patternCheck = true;
        s.sampleEvery = sampleEvery;
        s.chunk = 48 * 1024 + 5;
        s.inflight = 4;
        s.exitAfterFiles = 1;
        return s;
    }

    // The daemon's side: answers every queued request (with `tamper` given
    // a chance to spoil an answer), the answers cut at random points.
    void serve(std::mt19937& rng, const std::function<void(uint64_t offset, json&)>& tamper = {}) {
        while (!requests.empty()) {
            std::vector<uint8_t> stream;
            for (; !requests.empty(); requests.pop_front()) {
                const json& r = requests.front();
                const uint64_t offset = r["offset"];
                const uint32_t size = r["size"];
                std::vector<uint8_t> bytes(size);
                fillPattern(bytes.data(), offset, size);
                json data = {{"id", r["id"]},
                             {"offset", offset},
                             {"size", size},
                             {"chunk", wire::base64Encode(std::span(bytes))}};
                if (tamper) tamper(offset, data);
                const auto f =
                    message({{"context", "cups"}, {"method", "sendfile"}, {"type", "response"}, {"data", data}});
                stream.insert(stream.end(), f.begin(), f.end());
            }
            for (std::size_t at = 0; at < stream.size();) {
                const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + rng() % 70000);
                sim.onBytes(std::span(stream).subspan(at, n));
                at += n;
            }
        }
        sim.finishChecks();
    }

    void announce(uint64_t size) {
        const auto f = message({{"context", "cups"},
                                {"method", "sendfile"},
                                {"type", "notification"},
                                {"data", {{"id", "job-1"}, {"size", size}}}});
        sim.onBytes(f);
    }
};

TEST(HostSimBenchMode, AWholeFileInAnyCutArrivesWithoutErrors) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(seed);
        Host host(3);
        testing::internal::CaptureStdout();
        host.announce(1234567);
        host.serve(rng);
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(host.sim.errors(), 0) << said;
        EXPECT_TRUE(host.sim.done()) << said;
        EXPECT_NE(said.find("file id=job-1 size=1234567 "), std::string::npos) << said;
    }
}

TEST(HostSimBenchMode, ASpoiledSampledChunkOrAWrongTailIsAnError) {
    std::mt19937 rng(7);
    {
        // Chunk 0 is always a sampled one: its content is checked in full.
        Host host(3);
        testing::internal::CaptureStdout();
        host.announce(400000);
        host.serve(rng, [](uint64_t offset, json& data) {
            if (offset == 0) data["chunk"] = wire::base64Encode(std::string(data["size"].get<std::size_t>(), 'x'));
        });
        testing::internal::GetCapturedStdout();
        EXPECT_GT(host.sim.errors(), 0);
    }
    {
        // Chunk 1 streams past: only its tail is read, and it names another offset.
        Host host(3);
        testing::internal::CaptureStdout();
        host.announce(400000);
        host.serve(rng, [](uint64_t offset, json& data) {
            if (offset == 48 * 1024 + 5) data["offset"] = 1;
        });
        testing::internal::GetCapturedStdout();
        EXPECT_GT(host.sim.errors(), 0);
    }
}

}  // namespace
}  // namespace hostsim
