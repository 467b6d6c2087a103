// Setting up a channel in a test: the configuration whose callbacks report
// to a ChannelEvents, object names removed when a test ends, objects made by
// hand, a mapping of an object as a peer sees it, and the library's log
// lines captured for the texts a test checks.
#pragma once

#include <shm_channel/shm_channel.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "channel_events.h"

namespace shmtest {

/// A configuration for `name` whose connection callbacks count into `e`
/// (also its user data); the test sets the data callback it needs.
template <class E>
shm_config events_config(const std::string& name, E* e, uint32_t size, uint64_t timeout_us) {
    shm_config c;
    shm_config_init(&c);
    c.name = name.c_str();
    c.size = size;
    c.timeout_us = timeout_us;
    c.on_connected = events_connected<E>;
    c.on_disconnected = events_disconnected<E>;
    c.user_data = e;
    return c;
}

/// Removes the object `name` when the test ends, however it ends.
struct Unlinker {
    std::string name;
    ~Unlinker() { shm_unlink(name.c_str()); }
};

/// Creates `name` as a plain object of `size` bytes that no endpoint bound
/// (a stale or foreign object); false when that failed.
inline bool create_unbound_object(const std::string& name, off_t size) {
    int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) return false;
    bool sized = ftruncate(fd, size) == 0;
    close(fd);
    return sized;
}

/// Maps the object `name` writable as another local process would; nullptr
/// when it cannot. The caller owns the mapping (munmap with `size`).
inline void* map_object(const std::string& name, size_t size) {
    int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return nullptr;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
}

/// Starts a server, retrying while an earlier holder of the name goes away
/// (a peer process started before the test's own endpoint).
inline shm_endpoint* start_server_retrying(const shm_config& c, int attempts) {
    for (int i = 0; i < attempts; i++) {
        if (shm_endpoint* ep = shm_srv_start(&c)) return ep;
        usleep(50000);
    }
    return nullptr;
}

/// A log handler that drops everything, for peers whose lines nobody reads.
inline void quiet_log(int, const char*, va_list) {}

/// Collects the library's formatted log lines (errors at level 3, info at 6,
/// debug at 7) while it lives; debug lines only when asked for.
class LogCapture {
public:
    explicit LogCapture(bool debug) : debug_(debug) {
        std::lock_guard<std::mutex> l(m());
        lines().clear();
        shm_log_set_handler(handler, 3, 6, 7);
        shm_log_set_debug(debug ? 1 : 0);
    }
    ~LogCapture() {
        if (debug_) shm_log_set_debug(0);
        shm_log_set_handler(nullptr, 0, 1, 2);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// Lines at `level` that are exactly `text`.
    int count(int level, const std::string& text) {
        std::lock_guard<std::mutex> l(m());
        int n = 0;
        for (auto& e : lines())
            n += e.first == level && e.second == text;
        return n;
    }
    /// Lines at any level that contain `needle`.
    int count_containing(const std::string& needle) {
        std::lock_guard<std::mutex> l(m());
        int n = 0;
        for (auto& e : lines())
            n += e.second.find(needle) != std::string::npos;
        return n;
    }
    /// Polls until a line at `level` is exactly `text`, for at most `limit`.
    void await(int level, const std::string& text, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count(level, text) == 0 && std::chrono::steady_clock::now() < end)
            usleep(5000);
    }

private:
    static std::mutex& m() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::pair<int, std::string>>& lines() {
        static std::vector<std::pair<int, std::string>> all;
        return all;
    }
    static void handler(int level, const char* fmt, va_list ap) {
        char buf[1024];
        vsnprintf(buf, sizeof buf, fmt, ap);
        std::lock_guard<std::mutex> l(m());
        lines().emplace_back(level, buf);
    }
    bool debug_;
};

}  // namespace shmtest
