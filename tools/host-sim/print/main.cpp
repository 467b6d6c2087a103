// host-sim: the host agent's print side, for people and tests.
//
//   host-sim [options]            then commands on standard input
//
// Transport: --transport shm (default; server of the shared-memory object)
// or --transport serial (a pseudo-terminal linked at --port).
// Commands: discover | garbage N SEED | typeerrors | raw HEX |
//           request ID OFFSET SIZE | pause | resume | status | quit
// "pause" stops taking bytes off the channel (the daemon's ring fills up);
// "resume" goes on reading.
#include <fcntl.h>
#include <poll.h>
#include <shm_channel/orvanta_channels.h>
#include <shm_channel/shm_channel.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostSim.h"
#include "Pattern.h"

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) {
    g_stop = true;
}

void usage() {
    std::fprintf(stderr,
                 "usage: host-sim [--transport shm|serial] [--name NAME] [--shm-size BYTES] [--port PATH]\n"
                 "                [--printers FILE] [--out DIR] [--chunk BYTES] [--inflight N] [--discover]\n"
                 "                [--trace] [--bench] [--sample N] [--pattern] [--size-key KEY]\n"
                 "                [--exit-after-files N]\n"
                 "       host-sim --raw-sink BYTES [--raw-warm BYTES] [--name NAME] [--shm-size BYTES]\n"
                 "       host-sim --make-pattern-file PATH BYTES\n"
                 "commands on stdin: discover | garbage N SEED | typeerrors | raw HEX |\n"
                 "                   request ID OFFSET SIZE | pause | resume | status | quit\n");
}

struct Options {
    std::string transport = "shm";
    std::string name = ORV_PRINT_CHANNEL_NAME;
    uint32_t shmSize = ORV_PRINT_CHANNEL_SIZE;
    std::string port = ORV_PRINT_SERIAL_PORT_PATH;
    bool discover = false;
    uint64_t rawSink = 0;
    uint64_t rawWarm = 0;
    hostsim::Settings settings;
};

// Writes into the shared-memory ring under one lock, the whole buffer,
// waiting while the daemon drains the ring.
struct ShmWriter {
    std::mutex mutex;
    shm_endpoint* ep = nullptr;
    std::atomic<bool> connected{false};
    bool write(const uint8_t* p, std::size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        auto lastProgress = std::chrono::steady_clock::now();
        int failures = 0;
        while (n > 0) {
            if (!connected || ep == nullptr) {
                return false;
            }
            ssize_t r = shm_write(ep, p, n);
            if (r > 0) {
                p += r;
                n -= static_cast<std::size_t>(r);
                lastProgress = std::chrono::steady_clock::now();
                continue;
            }
            // A full ring waits for the daemon; anything else is reported,
            // and retried for a moment in case the channel was being set up.
            if (r != -ENOSPC) {
                if (++failures > 100) {
                    std::fprintf(stderr, "host-sim: shm_write: %s (%d)\n", shm_strerror(static_cast<int>(r)),
                                 static_cast<int>(r));
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(10)) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return true;
    }
};

struct ShmContext {
    hostsim::HostSim* sim = nullptr;
    ShmWriter* writer = nullptr;
    // raw sink: the clock starts once rawWarm bytes have arrived
    uint64_t rawWarm = 0;
    uint64_t rawWant = 0;
    uint64_t rawGot = 0;
    std::chrono::steady_clock::time_point rawStart;
    bool rawStarted = false;
};

int shmConnected(void* user, shm_endpoint*) {
    auto* c = static_cast<ShmContext*>(user);
    if (c->writer) {
        c->writer->connected = true;
    }
    if (c->sim) {
        c->sim->onConnected();
    }
    return 0;
}

int shmData(void* user, shm_endpoint*, const uint8_t* data, size_t len) {
    auto* c = static_cast<ShmContext*>(user);
    if (c->sim) {
        c->sim->onBytes(std::span(data, len));
        return 0;
    }
    if (!c->rawStarted) {
        const uint64_t warm = std::min<uint64_t>(len, c->rawWarm);
        c->rawWarm -= warm;
        len -= warm;
        if (c->rawWarm > 0 || len == 0) {
            return 0;
        }
        c->rawStart = std::chrono::steady_clock::now();
        c->rawStarted = true;
    }
    c->rawGot += len;
    if (c->rawGot >= c->rawWant) {
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - c->rawStart).count();
        std::printf("raw bytes=%llu seconds=%.3f MB/s=%.1f\n", static_cast<unsigned long long>(c->rawGot), secs,
                    static_cast<double>(c->rawGot) / 1e6 / secs);
        std::fflush(stdout);
        g_stop = true;
    }
    return 0;
}

int shmDisconnected(void* user, shm_endpoint*) {
    auto* c = static_cast<ShmContext*>(user);
    if (c->writer) {
        std::lock_guard<std::mutex> lock(c->writer->mutex);
        c->writer->connected = false;
    }
    if (c->sim) {
        c->sim->onDisconnected();
    }
    return 0;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "host-sim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--transport")
            o.transport = next();
        else if (a == "--name")
            o.name = next();
        else if (a == "--shm-size")
            o.shmSize = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--port")
            o.port = next();
        else if (a == "--printers")
            o.settings.printersFile = next();
        else if (a == "--out")
            o.settings.outDir = next();
        else if (a == "--chunk")
            o.settings.chunk = static_cast<uint32_t>(std::stoul(next()));
        else if (a == "--inflight")
            o.settings.inflight = static_cast<unsigned>(std::stoul(next()));
        else if (a == "--discover")
            o.discover = true;
        else if (a == "--trace")
            o.settings.trace = true;
        else if (a == "--bench")
            o.settings.bench = true;
        else if (a == "--sample")
            o.settings.sampleEvery = static_cast<unsigned>(std::stoul(next()));
        else if (a == "--pattern")
            o.settings.patternCheck = true;
        else if (a == "--size-key")
            o.settings.sizeKey = next();
        else if (a == "--exit-after-files")
            o.settings.exitAfterFiles = std::stol(next());
        else if (a == "--raw-sink")
            o.rawSink = std::stoull(next());
        else if (a == "--raw-warm")
            o.rawWarm = std::stoull(next());
        else if (a == "--make-pattern-file") {
            std::string path = next();
            uint64_t size = std::stoull(next());
            FILE* f = std::fopen(path.c_str(), "wb");
            if (!f) {
                std::perror(path.c_str());
                std::exit(1);
            }
            std::vector<uint8_t> buf(1 << 20);
            for (uint64_t off = 0; off < size; off += buf.size()) {
                std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(buf.size(), size - off));
                hostsim::fillPattern(buf.data(), off, n);
                std::fwrite(buf.data(), 1, n, f);
            }
            std::fclose(f);
            std::exit(0);
        } else {
            usage();
            return false;
        }
    }
    if (o.settings.inflight == 0 || o.settings.chunk == 0 || o.settings.sampleEvery == 0) {
        std::fprintf(stderr, "host-sim: --chunk, --inflight and --sample must be positive\n");
        return false;
    }
    return true;
}

// Reads operator commands until quit, end of input or a stop.
void commandLoop(hostsim::HostSim* sim) {
    std::string line;
    bool stdinOpen = true;
    char buf[4096];
    while (!g_stop && !(sim && sim->done())) {
        if (!stdinOpen) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd p{0, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) {
            stdinOpen = false;
            continue;
        }
        line.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = line.find('\n')) != std::string::npos) {
            std::string cmd = line.substr(0, nl);
            line.erase(0, nl + 1);
            if (cmd == "quit") {
                g_stop = true;
                break;
            }
            if (sim && !sim->command(cmd)) {
                std::fprintf(stderr, "host-sim: unknown command: %s\n", cmd.c_str());
            }
        }
    }
}

int runShm(Options& o) {
    ShmWriter writer;
    ShmContext ctx;
    hostsim::HostSim* simPtr = nullptr;
    std::unique_ptr<hostsim::HostSim> sim;
    if (o.rawSink == 0) {
        sim = std::make_unique<hostsim::HostSim>(
            o.settings, [&writer](const uint8_t* p, std::size_t n) { return writer.write(p, n); });
        simPtr = sim.get();
        ctx.sim = simPtr;
        ctx.writer = &writer;
    } else {
        ctx.rawWant = o.rawSink;
        ctx.rawWarm = o.rawWarm;
    }
    shm_config cfg;
    shm_config_init(&cfg);
    cfg.name = o.name.c_str();
    cfg.size = o.shmSize;
    cfg.chunk = 65535;
    cfg.on_connected = shmConnected;
    cfg.on_data = shmData;
    cfg.on_disconnected = shmDisconnected;
    cfg.user_data = &ctx;
    shm_endpoint* ep = shm_srv_start(&cfg);
    if (!ep) {
        std::fprintf(stderr, "host-sim: cannot start the shared-memory server \"%s\"\n", o.name.c_str());
        return 1;
    }
    writer.ep = ep;
    std::printf("listening shm %s size %u\n", o.name.c_str(), o.shmSize);
    std::fflush(stdout);
    bool discovered = false;
    std::thread discoverer([&] {
        while (!g_stop && o.discover && !discovered) {
            if (writer.connected) {
                simPtr->command("discover");
                discovered = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    commandLoop(simPtr);
    g_stop = true;
    if (simPtr) {
        simPtr->releaseReader();
    }
    discoverer.join();
    shm_stop(ep);
    if (sim) {
        sim->finishChecks();
    }
    return sim && sim->errors() > 0 ? 3 : 0;
}

int runSerial(Options& o) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("host-sim: pseudo-terminal");
        return 1;
    }
    std::string slavePath = ptsname(master);
    // Holding the slave open keeps the line settings and keeps reads on the
    // master from failing while the daemon has not opened the port yet.
    int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    ::unlink(o.port.c_str());
    if (::symlink(slavePath.c_str(), o.port.c_str()) != 0) {
        std::fprintf(stderr, "host-sim: cannot link %s to %s: %s\n", o.port.c_str(), slavePath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::mutex writeMutex;
    hostsim::HostSim sim(o.settings, [&](const uint8_t* p, std::size_t n) {
        std::lock_guard<std::mutex> lock(writeMutex);
        while (n > 0) {
            ssize_t r = ::write(master, p, n);
            if (r < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return true;
    });
    std::printf("listening serial %s -> %s\n", o.port.c_str(), slavePath.c_str());
    std::fflush(stdout);
    sim.onConnected();
    std::thread reader([&] {
        std::vector<uint8_t> buf(65536);
        while (!g_stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = ::read(master, buf.data(), buf.size());
            if (n > 0)
                sim.onBytes(std::span(buf.data(), static_cast<std::size_t>(n)));
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    if (o.discover) {
        sim.command("discover");
    }
    commandLoop(&sim);
    g_stop = true;
    sim.releaseReader();
    reader.join();
    ::unlink(o.port.c_str());
    ::close(slave);
    ::close(master);
    sim.finishChecks();
    return sim.errors() > 0 ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        return 2;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    if (o.transport == "shm" || o.rawSink > 0) {
        return runShm(o);
    }
    if (o.transport == "serial") {
        return runSerial(o);
    }
    usage();
    return 2;
}
