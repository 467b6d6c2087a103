// Removes print files the host never fetched whole once they have waited
// longer than the retention, so print data does not linger in the spool.
// (Files the host fetched to the end go at once, see ChunkPerformer.) Only
// files this daemon registered are touched, and only through the pinned
// spool directory.
#pragma once

// A standard header ahead of asio: asio decides how it allocates handler
// memory from a libstdc++ macro, and every translation unit must decide alike.
#include <cstddef>
#include <asio.hpp>
#include <chrono>
#include <string>

#include "task/PrintFileRegistry.h"
#include "task/SpoolDir.h"
#include "task/SpoolDirectory.h"

namespace czs {

class SpoolRetention {
public:
    using Clock = PrintFileRegistry::Clock;

    // Shorter than a minute could take a file from under a transfer that is
    // still running; longer settings are the administrator's choice.
    static constexpr std::chrono::minutes kMinimumRetention{1};

    /// Sweeps on `io`'s thread; the registry is borrowed and must outlive
    /// this object. A retention below kMinimumRetention is raised to it.
    SpoolRetention(asio::io_context& io, PrintFileRegistry& registry, std::chrono::minutes retention,
                   std::string spoolDir = kSpoolDir);
    /// Any retention and sweep period, for tests that cannot wait minutes.
    SpoolRetention(asio::io_context& io, PrintFileRegistry& registry, Clock::duration retention,
                   Clock::duration sweepEvery, std::string spoolDir);
    ~SpoolRetention();
    SpoolRetention(const SpoolRetention&) = delete;
    SpoolRetention& operator=(const SpoolRetention&) = delete;

    /// Starts the periodic sweep (the first one after one period).
    void start();
    /// One sweep now: drops expired entries and removes their files.
    /// Returns how many entries were dropped.
    std::size_t sweep();

    Clock::duration retention() const { return retention_; }
    Clock::duration sweepPeriod() const { return sweepEvery_; }

private:
    void arm();

    asio::steady_timer timer_;
    PrintFileRegistry& registry_;
    Clock::duration retention_;
    Clock::duration sweepEvery_;
    SpoolDirectory spool_;
};

}  // namespace czs
