// Benchmark mode: the chunk responses picked for a full check are decoded and
// compared on a thread of their own, so that a check (milliseconds for a
// megabyte chunk) does not hold up the reading of the channel behind it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hostsim {

class SampleChecker {
public:
    using Report = std::function<void(const std::string&)>;

    /// onError is called on the checker's thread, once per faulty response.
    SampleChecker(bool patternCheck, Report onError);
    /// Finishes the checks still queued.
    ~SampleChecker();

    /// Queues a whole response frame that answers the request for `size`
    /// bytes at `offset` of file `id`. Waits while too many are queued.
    void check(std::vector<uint8_t> frame, std::string id, uint64_t offset, uint32_t size);
    /// Returns once every queued check is done.
    void finish();

private:
    struct Sample {
        std::vector<uint8_t> frame;
        std::string id;
        uint64_t offset;
        uint32_t size;
    };
    static constexpr std::size_t kMaxQueued = 4;

    void run();
    void verify(const Sample& s);

    const bool patternCheck_;
    const Report onError_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Sample> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace hostsim
