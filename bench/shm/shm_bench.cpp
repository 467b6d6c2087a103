// Shared-memory channel against its baselines, two processes, one run:
//   throughput with 64 KiB messages: the ring written and read in place, and
//   with the copying calls, vs memcpy (one process) and a socketpair
//   round trip of 64 bytes: in place and copying vs socketpair (median, p99)
// Usage: shm_bench [MiB to transfer, default 512] [round trips, default 20000]
//                  [one case alone, for a profiler: memcpy, socketpair, inplace,
//                   copying, rtt-socketpair, rtt-inplace, rtt-copying]
#include <shm_channel/shm_channel.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr size_t kMsg = 64;
constexpr uint32_t kObject = 32u << 20;
// Sent before the clock starts: two laps of a ring, so that every page of
// the object is mapped in both processes and the spin budgets have settled.
// A channel lives for a whole session; its first lap is not its speed.
constexpr uint64_t kWarm = uint64_t(kObject);

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void die(const char* what) {
    perror(what);
    exit(2);
}

void write_all(int fd, const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t r = write(fd, c, n);
        if (r <= 0) die("write");
        c += r;
        n -= size_t(r);
    }
}

void read_all(int fd, void* p, size_t n) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r <= 0) die("read");
        c += r;
        n -= size_t(r);
    }
}

// Blocks until the peer says it is ready / done: one byte on a pipe.
void wait_byte(int fd) {
    char c;
    read_all(fd, &c, 1);
}
void send_byte(int fd) {
    write_all(fd, "x", 1);
}

std::string object_name(const char* what) {
    return "/shmbench-" + std::to_string(getpid()) + "-" + what;
}

// ---- shared-memory endpoints used by the children and the parent ----------

struct Counter {
    std::mutex m;
    std::condition_variable cv;
    uint64_t bytes = 0;
    uint64_t target = 0;
    int report_fd = -1;
    bool connected = false;
};

int on_connected(void* u, shm_endpoint*) {
    auto* c = static_cast<Counter*>(u);
    std::lock_guard<std::mutex> l(c->m);
    c->connected = true;
    c->cv.notify_all();
    return 0;
}

int count_data(void* u, shm_endpoint*, const uint8_t*, size_t n) {
    auto* c = static_cast<Counter*>(u);
    c->bytes += n;  // only this endpoint's thread touches it
    if (c->bytes >= c->target && c->report_fd >= 0) {
        send_byte(c->report_fd);
        c->report_fd = -1;
    }
    return 0;
}

int echo_data(void*, shm_endpoint* ep, const uint8_t* d, size_t n) {
    size_t off = 0;
    while (off < n) {
        ssize_t r = shm_write(ep, d + off, n - off);
        if (r > 0)
            off += size_t(r);
        else
            sched_yield();
    }
    return 0;
}

shm_config base_config(const std::string& name, Counter* c) {
    shm_config cfg;
    shm_config_init(&cfg);
    cfg.name = name.c_str();
    cfg.size = kObject;
    cfg.timeout_us = 1000000;
    cfg.on_connected = on_connected;
    cfg.user_data = c;
    return cfg;
}

void wait_connected(Counter& c) {
    std::unique_lock<std::mutex> l(c.m);
    c.cv.wait(l, [&] { return c.connected; });
}

// Writes `total` bytes in kBlock writes; a full ring is retried.
void ring_send(shm_endpoint* ep, const std::vector<uint8_t>& src, uint64_t total) {
    uint64_t sent = 0;
    size_t pos = 0;
    while (sent < total) {
        size_t off = 0;
        while (off < kBlock) {
            ssize_t r = shm_write(ep, src.data() + pos + off, kBlock - off);
            if (r > 0)
                off += size_t(r);
            else if (r == -ENOSPC)
                sched_yield();
            else
                die("shm_write");
        }
        sent += kBlock;
        pos = (pos + kBlock) % (src.size() - kBlock);
    }
}

// ---- throughput ------------------------------------------------------------

double bench_memcpy(uint64_t total) {
    std::vector<uint8_t> src(16u << 20, 1), dst(16u << 20);
    auto t0 = Clock::now();
    size_t pos = 0;
    for (uint64_t done = 0; done < total; done += kBlock) {
        memcpy(dst.data() + pos, src.data() + pos, kBlock);
        pos = (pos + kBlock) % (src.size() - kBlock);
    }
    double s = seconds_since(t0);
    volatile uint8_t keep = dst[12345];
    (void)keep;
    return double(total) / s / 1e6;
}

// Pushes kWarm and then `total` bytes from a server to a client in a forked
// child, timing the second part until the child reports it has read them
// all; MB/s. `start_reader` sets up the child's side of the configuration.
double ring_throughput(const char* tag, uint64_t total,
                       void (*start_reader)(shm_config&, uint64_t target, int report_fd),
                       void (*send)(shm_endpoint*, const std::vector<uint8_t>&, uint64_t)) {
    std::string name = object_name(tag);
    shm_unlink(name.c_str());
    int done[2];
    if (pipe(done) != 0) die("pipe");
    Counter srv;
    shm_config cfg = base_config(name, &srv);
    shm_endpoint* ep = shm_srv_start(&cfg);
    if (ep == nullptr) die("shm_srv_start");
    pid_t pid = fork();
    if (pid == 0) {
        close(done[0]);
        shm_config c = base_config(name, nullptr);
        start_reader(c, kWarm + total, done[1]);
        shm_cli_start(&c);
        for (;;)
            pause();
    }
    close(done[1]);
    wait_connected(srv);
    std::vector<uint8_t> src(16u << 20, 2);
    send(ep, src, kWarm);
    auto t0 = Clock::now();
    send(ep, src, total);
    wait_byte(done[0]);
    double s = seconds_since(t0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(done[0]);
    shm_stop(ep);
    return double(total) / s / 1e6;
}

// The copying calls: the client counts what on_data hands it.
void copying_reader(shm_config& c, uint64_t target, int report_fd) {
    static Counter cli;
    cli.target = target;
    cli.report_fd = report_fd;
    c.user_data = &cli;
    c.on_data = count_data;
}

double bench_ring_throughput(uint64_t total) {
    return ring_throughput("tput", total, copying_reader, ring_send);
}

// In place: the writer reserves ring space and produces each 64 KiB message
// straight into it (a memcpy from its source stands for producing it); the
// reader looks at the bytes where they are (a pass over every word stands
// for parsing them) and releases them. One copy in all, against two for the
// copying calls and for a socket.
struct InPlaceReader {
    uint64_t bytes = 0, target = 0, sum = 0;
    int report_fd = -1;
};

int inplace_available(void* u, shm_endpoint* ep, uint32_t) {
    auto* r = static_cast<InPlaceReader*>(u);
    shm_span sp[2];
    ssize_t n = shm_peek(ep, sp);
    if (n <= 0) return 0;
    uint64_t x = 0;
    for (auto& span : sp) {
        const uint8_t* p = span.data;
        size_t words = span.len / 8;
        for (size_t i = 0; i < words; i++) {
            uint64_t w;
            memcpy(&w, p + i * 8, 8);
            x ^= w;
        }
        for (size_t i = words * 8; i < span.len; i++)
            x ^= p[i];
    }
    r->sum ^= x;
    shm_consume(ep, size_t(n));
    r->bytes += uint64_t(n);
    if (r->bytes >= r->target && r->report_fd >= 0) {
        send_byte(r->report_fd);
        r->report_fd = -1;
    }
    return 0;
}

void ring_send_in_place(shm_endpoint* ep, const std::vector<uint8_t>& src, uint64_t total) {
    size_t pos = 0;
    for (uint64_t sent = 0; sent < total; sent += kBlock) {
        size_t off = 0;
        while (off < kBlock) {
            shm_span sp[2];
            ssize_t r = shm_reserve(ep, kBlock - off, sp, 10000000);
            if (r <= 0) die("shm_reserve");
            memcpy(sp[0].data, src.data() + pos + off, sp[0].len);
            if (sp[1].len) memcpy(sp[1].data, src.data() + pos + off + sp[0].len, sp[1].len);
            if (shm_commit(ep, size_t(r)) != 0) die("shm_commit");
            off += size_t(r);
        }
        pos = (pos + kBlock) % (src.size() - kBlock);
    }
}

// In place: the client reads where the bytes lie (inplace_available).
void inplace_reader(shm_config& c, uint64_t target, int report_fd) {
    static InPlaceReader reader;
    reader.target = target;
    reader.report_fd = report_fd;
    c.on_data_available = inplace_available;
    c.user_data = &reader;
    c.on_connected = nullptr;
}

double bench_ring_inplace_throughput(uint64_t total) {
    return ring_throughput("tput-inplace", total, inplace_reader, ring_send_in_place);
}

double bench_socket_throughput(uint64_t total) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) die("socketpair");
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        std::vector<uint8_t> buf(kBlock);
        uint64_t got = 0;
        while (got < kWarm + total) {
            ssize_t r = read(sv[1], buf.data(), buf.size());
            if (r <= 0) _exit(1);
            got += uint64_t(r);
        }
        send_byte(sv[1]);
        _exit(0);
    }
    close(sv[1]);
    std::vector<uint8_t> src(16u << 20, 3);
    for (uint64_t sent = 0; sent < kWarm; sent += kBlock)
        write_all(sv[0], src.data() + sent % (src.size() - kBlock), kBlock);
    auto t0 = Clock::now();
    size_t pos = 0;
    for (uint64_t sent = 0; sent < total; sent += kBlock) {
        write_all(sv[0], src.data() + pos, kBlock);
        pos = (pos + kBlock) % (src.size() - kBlock);
    }
    wait_byte(sv[0]);
    double s = seconds_since(t0);
    waitpid(pid, nullptr, 0);
    close(sv[0]);
    return double(total) / s / 1e6;
}

// ---- latency ---------------------------------------------------------------

struct Latency {
    double median_us, p99_us;
};

Latency summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

// The parent's endpoint thread drives the ping-pong from its on_data
// callback, as an application replying from its callback would.
struct PingPong {
    Counter counter;
    std::vector<double> rtt_us;
    size_t rounds = 0, warmup = 0;
    size_t got = 0;
    size_t answered = 0;
    Clock::time_point sent_at;
    bool finished = false;
    uint8_t msg[kMsg] = {};

    // An answer arrived: records its round trip (past the warm-up). True
    // while more rounds are wanted, with the clock restarted for the next.
    bool onAnswer() {
        auto now = Clock::now();
        if (answered++ >= warmup) rtt_us.push_back(std::chrono::duration<double, std::micro>(now - sent_at).count());
        if (rtt_us.size() >= rounds) {
            std::lock_guard<std::mutex> l(counter.m);
            finished = true;
            counter.cv.notify_all();
            return false;
        }
        sent_at = Clock::now();
        return true;
    }
};

int pingpong_data(void* u, shm_endpoint* ep, const uint8_t*, size_t n) {
    auto* p = static_cast<PingPong*>(u);
    p->got += n;
    if (p->got < kMsg) return 0;
    p->got -= kMsg;
    if (p->onAnswer()) echo_data(nullptr, ep, p->msg, kMsg);
    return 0;
}

int pingpong_connected(void* u, shm_endpoint* ep) {
    return on_connected(&static_cast<PingPong*>(u)->counter, ep);
}

// In place both ways: the reply is written into reserved space, the
// request read where it lies.
void reply_in_place(shm_endpoint* ep, const uint8_t* d, size_t n) {
    size_t off = 0;
    while (off < n) {
        shm_span sp[2];
        ssize_t r = shm_reserve(ep, n - off, sp, 10000000);
        if (r <= 0) die("shm_reserve");
        memcpy(sp[0].data, d + off, sp[0].len);
        if (sp[1].len) memcpy(sp[1].data, d + off + sp[0].len, sp[1].len);
        shm_commit(ep, size_t(r));
        off += size_t(r);
    }
}

int echo_in_place(void*, shm_endpoint* ep, uint32_t) {
    shm_span sp[2];
    ssize_t n = shm_peek(ep, sp);
    if (n <= 0) return 0;
    uint8_t copy[kMsg * 4];
    size_t take = std::min(size_t(n), sizeof copy);
    size_t first = std::min(take, sp[0].len);
    memcpy(copy, sp[0].data, first);
    memcpy(copy + first, sp[1].data, take - first);
    shm_consume(ep, take);
    reply_in_place(ep, copy, take);
    return 0;
}

int pingpong_available(void* u, shm_endpoint* ep, uint32_t) {
    auto* p = static_cast<PingPong*>(u);
    shm_span sp[2];
    ssize_t n = shm_peek(ep, sp);
    if (n < ssize_t(kMsg)) {
        if (n > 0) shm_consume(ep, 0);
        return 0;
    }
    shm_consume(ep, kMsg);
    if (p->onAnswer()) reply_in_place(ep, p->msg, kMsg);
    return 0;
}

// Round trips of one message through the ring, echoed by a child process:
// through the copying calls, or in place both ways.
Latency bench_ring_latency(size_t rounds, bool in_place) {
    std::string name = object_name(in_place ? "lat-inplace" : "lat");
    shm_unlink(name.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        static Counter c;
        shm_config cfg = base_config(name, &c);
        if (in_place) {
            cfg.on_data_available = echo_in_place;
        } else {
            cfg.on_data = echo_data;
        }
        shm_endpoint* ep = nullptr;
        for (int i = 0; i < 200 && ep == nullptr; i++) {
            ep = shm_srv_start(&cfg);
            if (ep == nullptr) usleep(20000);
        }
        for (;;)
            pause();
    }
    auto state = std::make_unique<PingPong>();  // outlives the endpoint's thread (joined by shm_stop)
    PingPong& p = *state;
    p.rounds = rounds;
    p.warmup = 1000;
    shm_config cfg = base_config(name, &p.counter);
    cfg.user_data = &p;
    cfg.on_connected = pingpong_connected;
    if (in_place) {
        cfg.on_data_available = pingpong_available;
    } else {
        cfg.on_data = pingpong_data;
    }
    shm_endpoint* ep = shm_cli_start(&cfg);
    wait_connected(p.counter);
    usleep(100000);
    p.sent_at = Clock::now();
    if (in_place) {
        reply_in_place(ep, p.msg, kMsg);
    } else {
        echo_data(nullptr, ep, p.msg, kMsg);
    }
    {
        std::unique_lock<std::mutex> l(p.counter.m);
        p.counter.cv.wait(l, [&] { return p.finished; });
    }
    shm_stop(ep);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    shm_unlink(name.c_str());
    return summarise(p.rtt_us);
}

Latency bench_socket_latency(size_t rounds) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) die("socketpair");
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        char buf[kMsg];
        for (;;) {
            ssize_t r = read(sv[1], buf, kMsg);
            if (r <= 0) _exit(0);
            write_all(sv[1], buf, size_t(r));
        }
    }
    close(sv[1]);
    char msg[kMsg] = {};
    std::vector<double> rtt;
    for (size_t i = 0; i < rounds + 1000; i++) {
        auto t0 = Clock::now();
        write_all(sv[0], msg, kMsg);
        read_all(sv[0], msg, kMsg);
        if (i >= 1000) rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(sv[0]);
    waitpid(pid, nullptr, 0);
    return summarise(rtt);
}

// One case on its own, printed as one figure: what a profiler attaches to.
int run_one(const std::string& which, uint64_t total, size_t rounds) {
    if (which == "memcpy")
        printf("%.0f MB/s\n", bench_memcpy(total));
    else if (which == "socketpair")
        printf("%.0f MB/s\n", bench_socket_throughput(total));
    else if (which == "inplace")
        printf("%.0f MB/s\n", bench_ring_inplace_throughput(total));
    else if (which == "copying")
        printf("%.0f MB/s\n", bench_ring_throughput(total));
    else if (which.rfind("rtt-", 0) == 0) {
        Latency l = which == "rtt-socketpair" ? bench_socket_latency(rounds)
                    : which == "rtt-inplace"  ? bench_ring_latency(rounds, true)
                    : which == "rtt-copying"  ? bench_ring_latency(rounds, false)
                                              : Latency{-1, -1};
        if (l.median_us < 0) {
            fprintf(stderr, "unknown case %s\n", which.c_str());
            return 2;
        }
        printf("median %.1f us, p99 %.1f us\n", l.median_us, l.p99_us);
    } else {
        fprintf(stderr, "unknown case %s\n", which.c_str());
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 512;
    size_t rounds = argc > 2 ? strtoull(argv[2], nullptr, 10) : 20000;
    uint64_t total = mib << 20;
    if (argc > 3) return run_one(argv[3], total, rounds);

    // Throughput: the four measured in turn, kReps times, the best of each
    // kept. On a machine shared with other work a measurement is only ever
    // slowed down, never sped up, and interleaving exposes all four to the
    // same moments of load.
    constexpr int kReps = 5;
    double mc = 0, inplace = 0, ring = 0, sock = 0;
    for (int rep = 0; rep < kReps; rep++) {
        mc = std::max(mc, bench_memcpy(total));
        inplace = std::max(inplace, bench_ring_inplace_throughput(total));
        ring = std::max(ring, bench_ring_throughput(total));
        sock = std::max(sock, bench_socket_throughput(total));
    }
    Latency il = bench_ring_latency(rounds, true);
    Latency rl = bench_ring_latency(rounds, false);
    Latency sl = bench_socket_latency(rounds);

    printf("throughput, %llu MiB in 64 KiB messages after %llu MiB untimed, best of %d (MB/s)\n",
           (unsigned long long)mib, (unsigned long long)(kWarm >> 20), kReps);
    printf("  memcpy (1 process)   %10.0f\n", mc);
    printf("  socketpair           %10.0f\n", sock);
    printf("  shm in place         %10.0f   %.2fx socketpair, %.0f%% of memcpy\n", inplace, inplace / sock,
           100.0 * inplace / mc);
    printf("  shm copying calls    %10.0f   %.2fx socketpair, %.0f%% of memcpy\n", ring, ring / sock,
           100.0 * ring / mc);
    printf("round trip, 64 bytes, %zu rounds (us)   median      p99\n", rounds);
    printf("  socketpair                          %8.1f %8.1f\n", sl.median_us, sl.p99_us);
    printf("  shm in place                        %8.1f %8.1f   median %.2fx socketpair\n", il.median_us, il.p99_us,
           il.median_us / sl.median_us);
    printf("  shm copying calls                   %8.1f %8.1f   median %.2fx socketpair\n", rl.median_us, rl.p99_us,
           rl.median_us / sl.median_us);
    bool ok = inplace >= 2.0 * sock && inplace >= 0.7 * mc && il.median_us <= 0.8 * sl.median_us &&
              rl.median_us <= 0.8 * sl.median_us && il.p99_us < 200.0 && rl.p99_us < 200.0;
    printf(
        "targets (in place >= 2x socketpair and >= 70%% of memcpy; RTT median <= 0.8x "
        "socketpair, p99 < 200 us): %s\n",
        ok ? "met" : "NOT met");
    return 0;
}
