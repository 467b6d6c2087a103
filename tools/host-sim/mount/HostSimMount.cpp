// Mount side of the host-agent stand-in: a shared-memory client of the mount
// service's channel that sends the requests read from standard input, one per
// line:
//   mount FOLDER | unmount FOLDER | unmount-all | op N FOLDER | raw HEX |
//   sleep MS | quit
// FOLDER is the rest of the line. Prints "connected" once the channel is up
// and "sent N" after each request, so a driving script can pace itself.
//
//   host-sim-mount [--name NAME] [--connect-timeout-ms MS]
#include <shm_channel/orvanta_channels.h>
#include <shm_channel/shm_channel.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
bool g_connected = false;

int on_connected(void*, shm_endpoint*) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_connected = true;
    g_cv.notify_all();
    return 0;
}

int on_disconnected(void*, shm_endpoint*) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_connected = false;
    return 0;
}

int on_data(void*, shm_endpoint*, const uint8_t*, size_t) {
    return 0;
}

void quiet_log(int, const char*, va_list) {}

// Sized once and filled in place: the request is length-prefixed, so its
// size is known before any byte is written.
std::vector<uint8_t> request(uint8_t op, const std::string& folder) {
    const size_t n = folder.size();
    const size_t total = n + 5;
    std::vector<uint8_t> out(total);
    out[0] = static_cast<uint8_t>(total & 0xff);
    out[1] = static_cast<uint8_t>((total >> 8) & 0xff);
    out[2] = static_cast<uint8_t>(n & 0xff);
    out[3] = static_cast<uint8_t>((n >> 8) & 0xff);
    for (size_t i = 0; i < n; ++i)
        out[4 + i] = static_cast<uint8_t>(folder[i]);
    out[total - 1] = op;
    return out;
}

bool send(shm_endpoint* ep, const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (off < bytes.size()) {
        ssize_t w = shm_write(ep, bytes.data() + off, bytes.size() - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(1000);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = ORV_MOUNT_CHANNEL_NAME;
    int connect_ms = 15000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--name" && i + 1 < argc)
            name = argv[++i];
        else if (a == "--connect-timeout-ms" && i + 1 < argc)
            connect_ms = std::stoi(argv[++i]);
        else {
            std::fprintf(stderr, "host-sim-mount: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    shm_log_set_handler(quiet_log, 0, 1, 2);
    shm_config cfg = orv_mount_channel_config();
    cfg.name = name.c_str();
    cfg.on_connected = on_connected;
    cfg.on_data = on_data;
    cfg.on_disconnected = on_disconnected;
    shm_endpoint* ep = shm_cli_start(&cfg);
    if (!ep) {
        std::fprintf(stderr, "host-sim-mount: cannot start the client\n");
        return 1;
    }
    {
        std::unique_lock<std::mutex> lock(g_mu);
        if (!g_cv.wait_for(lock, std::chrono::milliseconds(connect_ms), [] { return g_connected; })) {
            std::fprintf(stderr, "host-sim-mount: not connected\n");
            shm_stop(ep);
            return 1;
        }
    }
    std::printf("connected\n");
    std::fflush(stdout);
    std::string line;
    int rc = 0;
    while (std::getline(std::cin, line)) {
        std::string cmd = line.substr(0, line.find(' '));
        std::string rest = line.size() > cmd.size() ? line.substr(cmd.size() + 1) : "";
        std::vector<uint8_t> bytes;
        if (cmd == "mount")
            bytes = request(1, rest);
        else if (cmd == "unmount")
            bytes = request(0, rest);
        else if (cmd == "unmount-all")
            bytes = request(2, rest);
        else if (cmd == "op") {
            size_t sp = rest.find(' ');
            bytes = request(static_cast<uint8_t>(std::stoul(rest.substr(0, sp))),
                            sp == std::string::npos ? "" : rest.substr(sp + 1));
        } else if (cmd == "raw") {
            for (size_t i = 0; i + 1 < rest.size(); i += 2) {
                bytes.push_back(static_cast<uint8_t>(std::stoul(rest.substr(i, 2), nullptr, 16)));
            }
        } else if (cmd == "sleep") {
            usleep(static_cast<useconds_t>(std::stoul(rest)) * 1000);
            continue;
        } else if (cmd == "quit") {
            break;
        } else if (cmd.empty()) {
            continue;
        } else {
            std::fprintf(stderr, "host-sim-mount: unknown command %s\n", cmd.c_str());
            rc = 2;
            continue;
        }
        if (!send(ep, bytes)) {
            std::fprintf(stderr, "host-sim-mount: write failed\n");
            rc = 1;
            break;
        }
        std::printf("sent %zu\n", bytes.size());
        std::fflush(stdout);
    }
    shm_stop(ep);
    return rc;
}
