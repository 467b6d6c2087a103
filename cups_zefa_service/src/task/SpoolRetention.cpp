#include "task/SpoolRetention.h"

#include <algorithm>

#include <runtime/Log.h>

namespace czs {
namespace {

constexpr const char* kLogTag = "SpoolRetention";

// A tenth of the retention, between a second and ten minutes: an unfetched
// file outlives its retention by at most that much, and an idle daemon
// wakes rarely.
SpoolRetention::Clock::duration periodFor(SpoolRetention::Clock::duration retention) {
    return std::clamp<SpoolRetention::Clock::duration>(retention / 10, std::chrono::seconds(1),
                                                       std::chrono::minutes(10));
}

}  // namespace

SpoolRetention::SpoolRetention(asio::io_context& io, PrintFileRegistry& registry, std::chrono::minutes retention,
                               std::string spoolDir)
    : SpoolRetention(io, registry, std::max(retention, kMinimumRetention),
                     periodFor(std::max<Clock::duration>(retention, kMinimumRetention)), std::move(spoolDir)) {
    if (retention < kMinimumRetention) {
        ORV_LOG(Error, "retention of %lld minutes raised to %lld\n", static_cast<long long>(retention.count()),
                static_cast<long long>(kMinimumRetention.count()));
    }
}

SpoolRetention::SpoolRetention(asio::io_context& io, PrintFileRegistry& registry, Clock::duration retention,
                               Clock::duration sweepEvery, std::string spoolDir)
    : timer_(io), registry_(registry), retention_(retention), sweepEvery_(sweepEvery), spool_(std::move(spoolDir)) {}

SpoolRetention::~SpoolRetention() {
    timer_.cancel();
}

void SpoolRetention::start() {
    arm();
}

void SpoolRetention::arm() {
    timer_.expires_after(sweepEvery_);
    timer_.async_wait([this](const std::error_code& ec) {
        // An aborted wait may run after this object is gone: touch nothing.
        if (ec) return;
        sweep();
        arm();
    });
}

std::size_t SpoolRetention::sweep() {
    const std::size_t dropped =
        registry_.expire(Clock::now() - retention_, [this](const SpoolFile& file) { spool_.remove(file); });
    if (dropped != 0) {
        ORV_LOG_AS(Info, "sweep", "%zu print files past their retention dropped\n", dropped);
    }
    return dropped;
}

}  // namespace czs
