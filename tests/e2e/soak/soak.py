#!/usr/bin/env python3
"""A bounded soak of both daemons with mixed traffic, end to end (run through
tests/e2e/isolate):

    tests/e2e/isolate python3 soak.py --seconds 120 --daemon BIN --backend BIN --host-sim BIN \\
        --service BIN --user-agent BIN --host-sim-mount BIN

For the given time it mixes print jobs of random sizes (through lp and CUPS,
or announced straight on the backend socket), printer-list updates, mount and
unmount cycles, malformed frames from the host, malformed user-info records
and changes of user. Before the traffic starts, the mount service is stopped
(SIGTERM to its main process, as its unit does) and started again while the
user writes into a share: every byte the user wrote must reach the server. Afterwards every job must have reached the host byte for
byte, every mount must be gone, and the daemons' descriptors, threads and
resident memory must not have grown: they are sampled through the run and
the first (after a warm-up) and last samples are printed.
"""

import argparse
import hashlib
import json
import os
import random
import re
import socket
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mount"))
from mountenv import Bed, DAV_DIR, Failure, USERS, check, mounts, wait_until  # noqa: E402
from scenario import Driver, user  # noqa: E402

WORK = "/tmp/soak"
DAEMON_LOG = "/var/log/orvanta/cups_daemon.log"
PIDFILE = "/var/run/cups_zefa_service.pid"
SPOOL = "/var/spool/orvanta-print"
QUEUES = ("office", "lab")
EXTRA = ("p1", "p2", "p3", "p4")
USER_PIDS = {"alice": 5001, "bob": 5002}

# Growth that counts as a leak between the sample after warm-up and the last.
FD_GROWTH = 10
THREAD_GROWTH = 2
RSS_FACTOR = 1.5


class PrintSide:
    """The print daemon with a private cupsd and host-sim on shared memory."""

    def __init__(self, args, rng):
        self.args = args
        self.rng = rng
        os.makedirs(WORK + "/out", exist_ok=True)
        os.makedirs(WORK + "/bin", exist_ok=True)
        with open(WORK + "/bin/systemctl", "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(WORK + "/bin/systemctl", 0o755)
        os.environ["PATH"] = WORK + "/bin:" + os.environ["PATH"]
        os.environ["CUPS_SERVER"] = "/run/cups/cups.sock"
        for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            old = os.environ.get(var, "")
            os.environ[var] = (old + ":" if old else "") + "log_path=" + WORK + "/sanitizer"
        self.lock = threading.Lock()
        self.received = {}      # sha256 -> count
        self.expected = {}      # sha256 -> (label, size)
        self.direct = {}        # sha256 -> spool path we made
        self.disconnected = False
        self.n = 0
        self.bytes = 0

    def start(self, extras):
        subprocess.run([os.path.join(HERE, "..", "lib", "cupsd-start"), "zefa-prt=" + self.args.backend],
                       check=True)
        self.write_printers(extras)
        self.err = open(WORK + "/hostsim.err", "w")
        self.hostsim = subprocess.Popen(
            [self.args.host_sim, "--transport", "shm", "--printers", WORK + "/printers.json",
             "--out", WORK + "/out", "--chunk", "65536"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err, text=True, bufsize=1)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()
        wait_until(lambda: self.seen("listening"), 10, "host-sim listening")
        subprocess.run([self.args.daemon, "start"], check=True)
        wait_until(lambda: self.seen("connected"), 20, "the daemon on shared memory")
        wait_until(lambda: os.path.exists(PIDFILE) and open(PIDFILE).read().strip(), 10, "the pid file")
        self.pid = int(open(PIDFILE).read())

    def _read(self):
        for line in self.hostsim.stdout:
            line = line.rstrip("\n")
            with self.lock:
                self.lines.append(line.split(" ", 1)[0])
                if line == "disconnected":
                    self.disconnected = True
            m = re.match(r"^file id=\S+ size=\d+ sha256=([0-9a-f]{64}) .* path=(\S+)$", line)
            if m:
                with self.lock:
                    self.received[m.group(1)] = self.received.get(m.group(1), 0) + 1
                    mine = self.direct.pop(m.group(1), None)
                try:
                    os.unlink(m.group(2))
                    if mine:
                        os.unlink(mine)
                except OSError:
                    pass

    def seen(self, word):
        with self.lock:
            return word in self.lines

    def cmd(self, line):
        self.hostsim.stdin.write(line + "\n")
        self.hostsim.stdin.flush()

    def write_printers(self, extras):
        devices = [{"name": q, "printer-info": q + " queue"} for q in QUEUES + tuple(extras)]
        devices[0]["isDefault"] = True
        # host-sim reads the file whenever the daemon asks: replace it whole.
        with open(WORK + "/printers.json.new", "w") as f:
            json.dump({"meta": {"platform": "soak", "print-file-format": "pdf"}, "devices": devices}, f)
        os.replace(WORK + "/printers.json.new", WORK + "/printers.json")

    @staticmethod
    def queues():
        out = subprocess.run(["lpstat", "-v"], capture_output=True, text=True).stdout
        return sorted(re.findall(r"^device for (\S+):", out, re.M))

    def served(self):
        with self.lock:
            return self.lines.count("printers")

    def update_printers(self, extras):
        self.write_printers(extras)
        before = self.served()
        self.cmd("discover")
        # The same list as before matches at once: wait for this exchange.
        wait_until(lambda: self.served() > before, 30, "the daemon to ask for the printer list")
        want = sorted(QUEUES + tuple(extras))
        wait_until(lambda: self.queues() == want, 30, "queues %r" % want)

    def outstanding(self):
        with self.lock:
            return sum(1 for sha in self.expected if self.received.get(sha, 0) == 0)

    def make_job(self):
        # Mostly small documents, now and then a large one. The file ends in
        # a non-zero byte: host-sim finds the end at the daemon's padding.
        size = self.rng.choice([self.rng.randint(1, 64 * 1024), self.rng.randint(64 * 1024, 1024 * 1024),
                                self.rng.randint(1024 * 1024, 6 * 1024 * 1024)])
        data = self.rng.randbytes(size - 1) + b"E"
        sha = hashlib.sha256(data).hexdigest()
        self.n += 1
        self.bytes += size
        return data, sha

    def print_lp(self):
        data, sha = self.make_job()
        path = "%s/job%d.bin" % (WORK, self.n)
        with open(path, "wb") as f:
            f.write(data)
        with self.lock:
            self.expected[sha] = ("lp job %d" % self.n, len(data))
        q = self.rng.choice(QUEUES)
        subprocess.run(["lp", "-d", q, "-o", "raw", "-t", "soak%d" % self.n, path], check=True,
                       stdout=subprocess.DEVNULL)
        os.unlink(path)

    def print_direct(self):
        data, sha = self.make_job()
        os.makedirs(SPOOL, mode=0o700, exist_ok=True)
        path = "%s/soak-%d" % (SPOOL, self.n)
        with open(path, "wb") as f:
            f.write(data)
        with self.lock:
            self.expected[sha] = ("direct job %d" % self.n, len(data))
            self.direct[sha] = path
        s = socket.create_connection(("127.0.0.1", 4848), timeout=30)
        s.sendall((json.dumps({"abspath": path, "job-name": "soak%d" % self.n}) + "\n").encode())
        s.shutdown(socket.SHUT_WR)
        while s.recv(256):
            pass
        s.close()

    def drain(self, timeout):
        wait_until(lambda: self.outstanding() == 0, timeout, "every print job at the host")
        # Nothing is in flight: what the backend spooled can go.
        for name in os.listdir(SPOOL) if os.path.isdir(SPOOL) else []:
            if name.startswith("job-"):
                os.unlink(os.path.join(SPOOL, name))

    def stop(self):
        if self.pid and os.path.exists("/proc/%d" % self.pid):
            os.kill(self.pid, 15)
            wait_until(lambda: not os.path.exists("/proc/%d/status" % self.pid) or
                       "zombie" in open("/proc/%d/status" % self.pid).read(), 15, "the daemon's stop")
        if self.hostsim.poll() is None:
            self.cmd("quit")
            self.hostsim.wait(10)


def sample(pid):
    try:
        fds = len(os.listdir("/proc/%d/fd" % pid))
        status = open("/proc/%d/status" % pid).read()
    except OSError:
        return None
    threads = int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
    rss = int(re.search(r"^VmRSS:\s+(\d+)", status, re.M).group(1))
    return {"fds": fds, "threads": threads, "rss_kb": rss}


class Sampler:
    def __init__(self, pids, every):
        self.pids = pids
        self.every = every
        self.samples = {name: [] for name in pids}
        self.stop_flag = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def take(self):
        t = time.monotonic()
        for name, pid in self.pids.items():
            s = sample(pid)
            if s:
                s["t"] = t
                self.samples[name].append(s)

    def _run(self):
        while not self.stop_flag.wait(self.every):
            self.take()

    def stop(self):
        self.stop_flag.set()
        self.thread.join()


def garbage_user_records(bed, rng, current):
    # Random bytes whose would-be uid fields are all above 2^31 (no such
    # user), so no garbage record can pass for a login.
    n = rng.randint(1, 40)
    raw = bytearray(rng.randbytes(n))
    for i in range(7, n, 8):
        raw[i] |= 0x80
    bed.user_agent("--raw", raw.hex(), check_rc=False)
    choice = rng.randrange(3)
    if choice == 0:
        bed.user_agent("--pid", "0", "--uid", "2001", check_rc=False)
    elif choice == 1:
        bed.user_agent("--pid", "7", "--uid", "31337", check_rc=False)
    else:
        bed.user_agent("--as-uid", "2004", "--uid", "2001", "--pid", "66", check_rc=False)
    # The login stays whoever it was.
    user(bed, current, USER_PIDS[current])


WRITER = r"""
import hashlib, os, sys, time
d = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
print("ready", flush=True)
for i in range(int(sys.argv[2])):
    data = os.urandom(int(sys.argv[3]))
    name = "inflight%d.bin" % i
    try:
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=d)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view[:65536]):]
        os.close(fd)
        print("done %s %s %d" % (name, hashlib.sha256(data).hexdigest(), len(data)), flush=True)
    except OSError as e:
        print("error %s %s" % (name, e), flush=True)
    time.sleep(0.05)
os.close(d)
"""


def restart_with_writes(bed, d, current, files=12, size=384 << 10):
    """Stops the mount service the way its unit does (SIGTERM to the main
    process only) while the user writes files into a share, starts it again,
    and returns (bytes the user wrote, bytes the server lacks afterwards)."""
    uid, gid, home = USERS[current]
    d.mount("soak/inflight")
    mp = os.path.normpath(home + "/davfs//inflight")
    check(mp in mounts(), "share for the writer: %r" % mounts())
    writer = subprocess.Popen(["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups",
                               sys.executable, "-c", WRITER, mp, str(files), str(size)],
                              stdout=subprocess.PIPE, text=True)
    check(writer.stdout.readline() == "ready\n", "writer started")
    first = writer.stdout.readline()
    d.host.close()
    bed.service.terminate()
    out, _ = writer.communicate(timeout=120)
    rc = bed.service.wait(150)
    check(rc == 0, "the mount service's exit status after SIGTERM: %d" % rc)
    written = lost = 0
    for line in [first] + out.splitlines():
        parts = line.split()
        if parts and parts[0] == "done":
            name, digest, n = parts[1], parts[2], int(parts[3])
            written += n
            path = os.path.join(DAV_DIR, name)
            if not os.path.isfile(path) or hashlib.sha256(open(path, "rb").read()).hexdigest() != digest:
                lost += n
    check(mp not in mounts(), "the share ended with the service: %r" % mounts())
    bed.start_service("-c", bed.write_config(SERVICE_CONFIG))
    return written, lost


SERVICE_CONFIG = "debug: true\nunmount_task_timeout: 2\nunmount_upload_timeout: 120\n"


def run(args):
    rng = random.Random(args.seed)
    bed = Bed(argparse.Namespace(service=args.service, user_agent=args.user_agent,
                                 host_sim=args.host_sim_mount))
    ps = PrintSide(args, rng)
    try:
        return soak(args, rng, bed, ps)
    finally:
        bed.cleanup()


def soak(args, rng, bed, ps):
    t0 = time.monotonic()
    extras = ()
    ps.start(extras)
    ps.update_printers(extras)
    bed.start_webdav()
    bed.start_service("-c", bed.write_config(SERVICE_CONFIG))
    d = Driver(bed)
    current = "alice"
    user(bed, current, USER_PIDS[current])
    written, lost = restart_with_writes(bed, d, current)
    print("soak: mount service stopped and started with writes in flight: %d bytes written, %d lost"
          % (written, lost), flush=True)
    check(written > 0 and lost == 0, "%d of %d bytes written during the stop lost" % (lost, written))
    d = Driver(bed)
    user(bed, current, USER_PIDS[current])
    print("soak: set up in %.1f s; daemon pid %d, service pid %d; running %d s, seed %d"
          % (time.monotonic() - t0, ps.pid, bed.service.pid, args.seconds, args.seed), flush=True)

    sampler = Sampler({"cups_zefa_service": ps.pid, "quor-mounting-shdir-service": bed.service.pid},
                      max(1.0, min(10.0, args.seconds / 60)))
    counts = {}
    mount_n = 0
    start = time.monotonic()
    deadline = start + args.seconds
    warm = start + min(30.0, args.seconds * 0.2)
    baseline = None
    actions = (["lp"] * 3 + ["direct"] * 2 + ["printers", "mount", "mount", "garbage", "userinfo", "user"])
    while time.monotonic() < deadline:
        if baseline is None and time.monotonic() >= warm:
            ps.drain(120)
            sampler.take()
            baseline = {name: s[-1] for name, s in sampler.samples.items()}
        a = rng.choice(actions)
        counts[a] = counts.get(a, 0) + 1
        if a == "lp":
            ps.print_lp()
        elif a == "direct":
            ps.print_direct()
        elif a == "printers":
            extras = tuple(sorted(rng.sample(EXTRA, rng.randint(0, len(EXTRA)))))
            ps.update_printers(extras)
        elif a == "mount":
            home = USERS[current][2]
            names = []
            for _ in range(rng.randint(1, 3)):
                mount_n += 1
                names.append("soak/m%d" % mount_n)
                d.mount(names[-1])
                mp = os.path.normpath(home + "/davfs//m%d" % mount_n)
                check(mp in mounts(), "mount %s: %r" % (mp, mounts()))
            if rng.randrange(2):
                d.unmount_all()
            else:
                for name in names:
                    d.unmount(name)
            check(mounts() == [], "unmounted: %r" % mounts())
            check(not any(os.path.exists(home + "/davfs/" + n.split("/")[-1]) for n in names),
                  "mount directories removed")
        elif a == "garbage":
            ps.cmd("garbage %d %d" % (rng.randint(20, 400), rng.randrange(1 << 30)))
        elif a == "userinfo":
            garbage_user_records(bed, rng, current)
        elif a == "user":
            current = "bob" if current == "alice" else "alice"
            user(bed, current, USER_PIDS[current])
        # Keep the backlog short, so a stall shows up as a stall.
        if ps.outstanding() > 4:
            wait_until(lambda: ps.outstanding() <= 2, 120, "the host to catch up with the print jobs")
        check(not ps.disconnected, "host-sim lost the daemon")
        check(bed.service.poll() is None, "the mount service died")
        check(os.path.exists("/proc/%d" % ps.pid), "the print daemon died")

    ps.drain(180)
    d.unmount_all()
    check(mounts() == [], "mounts left at the end: %r" % mounts())
    time.sleep(1)
    sampler.take()
    sampler.stop()
    if baseline is None:
        baseline = {name: s[0] for name, s in sampler.samples.items()}
    elapsed = time.monotonic() - start
    print("soak: %.0f s of traffic; actions %s; %d print jobs, %.1f MiB, all received whole; %d mounts"
          % (elapsed, json.dumps(counts, sort_keys=True), ps.n, ps.bytes / 1048576.0, mount_n), flush=True)
    problems = []
    for name, samples in sampler.samples.items():
        first, last = baseline[name], samples[-1]
        peak = max(s["rss_kb"] for s in samples)
        print("soak: %-28s first fds=%d threads=%d rss=%d KiB | last fds=%d threads=%d rss=%d KiB | peak rss=%d KiB"
              " (%d samples)" % (name, first["fds"], first["threads"], first["rss_kb"], last["fds"],
                                 last["threads"], last["rss_kb"], peak, len(samples)), flush=True)
        if last["fds"] > first["fds"] + FD_GROWTH:
            problems.append("%s: descriptors %d -> %d" % (name, first["fds"], last["fds"]))
        if last["threads"] > first["threads"] + THREAD_GROWTH:
            problems.append("%s: threads %d -> %d" % (name, first["threads"], last["threads"]))
        if last["rss_kb"] > first["rss_kb"] * RSS_FACTOR:
            problems.append("%s: RSS %d -> %d KiB" % (name, first["rss_kb"], last["rss_kb"]))
    # davfs2's daemons end with their mounts; as orphans of this process
    # (pid 1 of the namespace) they stay zombies, which do not count.
    procs = subprocess.run(["ps", "-eo", "stat=,comm="], capture_output=True, text=True).stdout.split("\n")
    davfs = [line for line in procs if line.split()[1:] == ["mount.davfs"] and not line.startswith("Z")]
    if davfs:
        problems.append("%d mount.davfs processes outlived their mounts" % len(davfs))
    with open(WORK + "/hostsim.err") as f:
        errs = [line for line in f if "error" in line]
    if errs:
        problems.append("host-sim saw errors: %s" % "".join(errs[:5]))
    d.host.close()
    check(bed.stop_service() == 0, "the mount service's clean exit")
    ps.stop()
    # The log quotes malformed input, bytes that are not UTF-8 included.
    with open(DAEMON_LOG, encoding="utf-8", errors="replace") as f:
        check("Stopped Orvanta Cups Daemon" in f.read(), "the print daemon's clean stop")
    reports = [n for n in os.listdir(WORK) if n.startswith("sanitizer")]
    if reports:
        problems.append("sanitizer reports: %r" % reports)
    check(not problems, "; ".join(problems))
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=float(os.environ.get("SOAK_SECONDS", "120")))
    ap.add_argument("--seed", type=int, default=int(os.environ.get("SOAK_SEED", "1")))
    for opt in ("daemon", "backend", "host-sim", "service", "user-agent", "host-sim-mount"):
        ap.add_argument("--" + opt, required=True)
    args = ap.parse_args()
    for key in ("daemon", "backend", "host_sim", "service", "user_agent", "host_sim_mount"):
        setattr(args, key, os.path.abspath(getattr(args, key)))
    try:
        run(args)
    except Exception as e:  # report and fail
        traceback.print_exc()
        print("FAILED: %s" % e, file=sys.stderr)
        try:
            print("---- daemon log (tail) ----\n" + subprocess.run(["tail", "-n", "30", DAEMON_LOG],
                  capture_output=True, text=True).stdout, file=sys.stderr)
        except OSError:
            pass
        return 1
    print("PASSED soak")
    return 0


if __name__ == "__main__":
    sys.exit(main())
