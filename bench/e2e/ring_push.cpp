// The channel's ceiling for the end-to-end benchmark: a shared-memory client
// that pushes raw bytes into the same ring the daemon answers through (client
// to server), in 1 MiB writes with the copying call, as fast as the server
// drains them. `warm` bytes go first, before the clock starts (the sink is
// told to skip them too): a channel's first lap maps its pages, and a
// session's channel is past that.
//
//   ring_push <bytes> [name] [size] [warm]
#include <shm_channel/orvanta_channels.h>
#include <shm_channel/shm_channel.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {
std::atomic<bool> g_connected{false};
int onConnected(void*, shm_endpoint*) {
    g_connected = true;
    return 0;
}
int onDisconnected(void*, shm_endpoint*) {
    g_connected = false;
    return 0;
}
int onData(void*, shm_endpoint*, const uint8_t*, size_t) {
    return 0;
}

// Writes `total` bytes from `block` over and over. A full ring is waited for
// on the ring's own event (a reservation of one byte, given back unused), as
// a writer that polls would measure its sleeps rather than the ring.
bool push(shm_endpoint* ep, const std::vector<uint8_t>& block, unsigned long long total, unsigned long long& sent) {
    while (sent < total && g_connected) {
        std::size_t want = static_cast<std::size_t>(std::min<unsigned long long>(block.size(), total - sent));
        std::size_t off = 0;
        while (off < want && g_connected) {
            ssize_t r = shm_write(ep, block.data() + off, want - off);
            if (r > 0) {
                off += static_cast<std::size_t>(r);
            } else if (r == -ENOSPC) {
                shm_span spans[2];
                if (shm_reserve(ep, 1, spans, 1000000) > 0) {
                    shm_commit(ep, 0);
                }
            } else {
                std::fprintf(stderr, "ring_push: write failed (%zd)\n", r);
                shm_stop(ep);
                return false;
            }
        }
        sent += off;
    }
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ring_push <bytes> [name] [size] [warm]\n");
        return 2;
    }
    const unsigned long long total = std::strtoull(argv[1], nullptr, 10);
    const std::string name = argc > 2 ? argv[2] : ORV_PRINT_CHANNEL_NAME;
    shm_config cfg;
    shm_config_init(&cfg);
    cfg.name = name.c_str();
    cfg.size = argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : ORV_PRINT_CHANNEL_SIZE;
    cfg.on_connected = onConnected;
    cfg.on_disconnected = onDisconnected;
    cfg.on_data = onData;
    shm_endpoint* ep = shm_cli_start(&cfg);
    if (!ep) {
        std::fprintf(stderr, "ring_push: cannot start the client\n");
        return 1;
    }
    for (int i = 0; i < 1000 && !g_connected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!g_connected) {
        std::fprintf(stderr, "ring_push: no server\n");
        shm_stop(ep);
        return 1;
    }
    const unsigned long long warm = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    std::vector<uint8_t> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 7);
    }
    unsigned long long warmSent = 0;
    if (!push(ep, block, warm, warmSent)) {
        return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    unsigned long long sent = 0;
    if (!push(ep, block, total, sent)) {
        return 1;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("push bytes=%llu seconds=%.3f MB/s=%.1f\n", sent, secs, static_cast<double>(sent) / 1e6 / secs);
    std::fflush(stdout);
    // Let the server drain before the client goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    shm_stop(ep);
    return sent == total ? 0 : 1;
}
