// The host agent's print side, as far as the daemon can tell: it asks for
// and serves the printer list, pulls announced print files chunk by chunk and
// fingerprints them, and can throw malformed input at the daemon.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "ReadGate.h"
#include "SampleChecker.h"
#include "Sha256.h"
#include "WireCodec.h"

namespace hostsim {

struct Settings {
    std::string printersFile;      // JSON: the "data" of the discovery response
    std::string outDir = ".";      // received files are written here
    uint32_t chunk = 1024 * 1024;  // bytes asked for per request
    unsigned inflight = 1;         // requests kept outstanding
    bool trace = false;            // print every frame both ways
    bool bench = false;            // decode only sampled chunks, write nothing
    unsigned sampleEvery = 16;     // in bench mode: check every n-th chunk
    bool patternCheck = false;     // sampled chunks must hold the pattern
    std::string sizeKey = "size";  // announcement member with the file size
    long exitAfterFiles = -1;      // end once this many files arrived
};

// Writes one line to standard output and flushes it (the scripts wait on it).
void out(const std::string& line);

class HostSim {
public:
    // The largest frame payload accepted from the daemon.
    static constexpr std::size_t kMaxPayload = 24u * 1024u * 1024u;

    using Writer = std::function<bool(const uint8_t*, std::size_t)>;

    HostSim(Settings settings, Writer writer);

    // Bytes from the daemon, in any cut. Waits here while reading is paused
    // (the "pause" command), so the channel fills up behind it.
    void onBytes(std::span<const uint8_t> bytes);
    void onConnected();
    void onDisconnected();

    // Operator commands (see usage): returns false for an unknown command.
    bool command(const std::string& line);

    // Lets a paused reader go for good; call before stopping the channel.
    void releaseReader() { gate_.release(); }

    bool done() const;
    long errors() const { return errors_; }
    // Waits for the full checks still running in benchmark mode.
    void finishChecks();

private:
    struct Pending {
        uint64_t offset;
        uint32_t size;
        uint64_t seq;
    };
    // A chunk asked for with the "request" command, outside any transfer.
    struct Manual {
        std::string id;
        long long offset;
        long long size;
    };
    struct Transfer {
        std::string id;
        uint64_t size = 0;
        uint64_t next = 0;
        uint64_t received = 0;
        uint64_t chunks = 0;
        // Without a size in the announcement the end of the file is where the
        // daemon's zero padding begins: pulling stops at the first chunk that
        // holds nothing but zeros, and the file ends after its last non-zero
        // byte. (Exact unless a file ends in zero bytes; a size in the
        // announcement avoids the guess.)
        bool sizeKnown = true;
        uint64_t dataEnd = 0;
        int fd = -1;
        std::string path;
        Sha256 sha;
        std::chrono::steady_clock::time_point start;
        std::deque<Pending> outstanding;
    };

    // What became of a chunk the current transfer asked for.
    enum class ChunkOutcome { Stored, Failed, FileEnded };

    void onFrame(const std::vector<uint8_t>& frame);
    void answerDiscovery();
    ChunkOutcome storeChunk(Transfer& t, const Pending& p, const nlohmann::json& data);
    void onResponse(std::size_t frameLen, bool decoded, const nlohmann::json& data);
    void announce(const nlohmann::json& data);
    void pump();
    void finish(Transfer& t);
    bool takeManualResponse(std::size_t frameLen, bool decoded, const nlohmann::json& data);
    void sendMessage(const std::string& method, const std::string& type, const nlohmann::json* data);
    void sendRaw(const std::vector<uint8_t>& bytes);
    void sendGarbage(unsigned count, unsigned seed);
    void sendTypeErrors();
    void error(const std::string& what);
    void traceFrame(const char* dir, std::span<const uint8_t> frame);

    Settings s_;
    Writer writer_;
    wire::FrameSplitter splitter_;
    // Benchmark mode: a chunk response that is only recognised streams past
    // as it arrives instead of being gathered, which would cost this side
    // two more copies of every byte. Only its last bytes are kept.
    static constexpr std::size_t kTailKept = 160 + wire::kTrailer;
    bool startSkipping();
    void skip(std::span<const uint8_t> bytes);
    void recognise(std::span<const uint8_t> tail, std::size_t frameSize);
    std::size_t skipTotal_ = 0;
    std::size_t skipLeft_ = 0;
    uint8_t skipTail_[kTailKept] = {};
    std::size_t skipTailLen_ = 0;
    // The frame being handled. Kept between frames so that a stream of
    // megabyte responses reuses one buffer instead of mapping fresh pages
    // for each.
    std::vector<uint8_t> frame_;
    mutable std::recursive_mutex mutex_;
    std::deque<Transfer> transfers_;
    std::deque<Manual> manual_;
    ReadGate gate_;
    uint64_t seq_ = 0;
    long filesDone_ = 0;
    std::atomic<long> errors_{0};
    // Last: its thread reports through error() until it is joined.
    std::unique_ptr<SampleChecker> checker_;  // benchmark mode only
};

}  // namespace hostsim
