#!/usr/bin/env python3
"""Request-to-visible time of the mount service against a bare davfs2 mount
of the same endpoint, median over repeated mount/unmount cycles, both
measured in the same run. Runs inside tests/e2e/isolate:

    tests/e2e/isolate python3 bench/mount/bench_mount.py --service BIN \
        --user-agent BIN --host-sim BIN [--cycles N] [--max-overhead-ms 10]

The service's overhead is the difference of the medians: what it adds to the
mount command itself (request decoding, the davfs2 file checks, the mount
point search, bookkeeping). The bare baseline runs the same command line the
service runs (sudo mount -t davfs ...), and plain "mount -t davfs" as well.
"""

import argparse
import ctypes
import os
import select
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e", "mount"))
from mountenv import Bed, USERS, mounts, wait_until  # noqa: E402

HOME = USERS["alice"][2]


def visible(path):
    target = os.path.normpath(path)
    return lambda: target in mounts()


def gone(path):
    target = os.path.normpath(path)
    return lambda: target not in mounts() and not os.path.exists(path)


LIBC = ctypes.CDLL(None, use_errno=True)
SYS_OPEN_TREE, SYS_MOVE_MOUNT = 428, 429
MOVE_MOUNT_F_EMPTY_PATH, MOVE_MOUNT_T_EMPTY_PATH = 0x4, 0x40


def move_mount(staging, target):
    """What the service does after the mount command: the mount on the staging
    directory moved onto the target directory, given by descriptor."""
    tree = LIBC.syscall(SYS_OPEN_TREE, -100, staging.encode(), os.O_CLOEXEC)
    if tree < 0:
        raise OSError(ctypes.get_errno(), "open_tree")
    fd = os.open(target, os.O_RDONLY | os.O_DIRECTORY)
    try:
        if LIBC.syscall(SYS_MOVE_MOUNT, tree, b"", fd, b"", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0:
            raise OSError(ctypes.get_errno(), "move_mount")
    finally:
        os.close(fd)
        os.close(tree)


def spin(pred, timeout=30.0):
    """The moment pred holds. The kernel wakes this waiter on every change of
    the mount table (poll on /proc/self/mounts); spinning instead would take,
    on two cores, the core that sudo, mount.davfs and the WebDAV server need,
    and slow down whatever is being measured."""
    end = time.perf_counter() + timeout
    with open("/proc/self/mounts", "rb") as table:
        watch = select.poll()
        watch.register(table.fileno(), select.POLLPRI | select.POLLERR)
        while not pred():
            left = end - time.perf_counter()
            if left <= 0:
                raise RuntimeError("timeout")
            # A bounded wait as well: some predicates look at more than mounts.
            watch.poll(min(left, 0.01) * 1000)
    return time.perf_counter()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--service", required=True)
    ap.add_argument("--user-agent", required=True)
    ap.add_argument("--host-sim", required=True)
    ap.add_argument("--cycles", type=int, default=21)
    ap.add_argument("--max-overhead-ms", type=float, default=10.0)
    args = ap.parse_args()
    for k in ("service", "user_agent", "host_sim"):
        setattr(args, k, os.path.abspath(getattr(args, k)))

    bed = Bed(args)
    try:
        bed.start_webdav()
        bed.start_service("-c", bed.write_config("debug: false\n"))
        m = bed.log.mark()
        bed.user_agent("--user", "alice", "--pid", "5001")
        wait_until(lambda: os.path.isdir(HOME), 5)
        time.sleep(0.3)
        host = bed.host()
        mp = HOME + "/davfs//share"

        # Warm-up: creates the davfs2 files and the mount base once.
        host.send("mount share")
        wait_until(visible(mp), 30, "warm-up mount")
        host.send("unmount share")
        wait_until(gone(mp), 30, "warm-up unmount")

        conf = HOME + "/.davfs2/davfs2_orvanta.conf"
        bare_dir = HOME + "/bare"
        os.makedirs(bare_dir, exist_ok=True)

        staging = "/run/bench-staging"
        os.makedirs(staging + "/0", exist_ok=True)
        subprocess.run(["mount", "--bind", staging, staging], check=True)
        subprocess.run(["mount", "--make-private", staging], check=True)

        def service_cycle():
            t0 = time.perf_counter()
            host.send("mount share")
            t1 = spin(visible(mp))
            host.send("unmount share")
            spin(gone(mp))
            time.sleep(0.05)
            return (t1 - t0) * 1000

        def bare_cycle(prefix, moved=False):
            t0 = time.perf_counter()
            subprocess.run(prefix + ["mount", "-t", "davfs", "-o", "uid=alice,conf=" + conf,
                                     "127.0.0.1:9843", staging + "/0" if moved else bare_dir],
                           check=True, stdin=subprocess.DEVNULL)
            if moved:
                move_mount(staging + "/0", bare_dir)
            t1 = spin(visible(bare_dir))
            subprocess.run(["umount", "-i", bare_dir], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            spin(lambda: os.path.normpath(bare_dir) not in mounts())
            # davfs2 refuses a mount point whose daemon's pid file is
            # still there; the daemon ends shortly after the unmount.
            spin(lambda: not os.path.exists("/run/mount.davfs/run-bench-staging-0.pid"))
            time.sleep(0.05)
            return (t1 - t0) * 1000

        # The cases take turns, cycle by cycle, so that whatever else the
        # machine does at a given moment falls on all of them alike.
        service, bare_sudo, bare_plain, bare_moved = [], [], [], []
        for _ in range(args.cycles):
            service.append(service_cycle())
            bare_sudo.append(bare_cycle(["sudo"]))
            bare_plain.append(bare_cycle([]))
            bare_moved.append(bare_cycle(["sudo"], moved=True))
        host.close()
        bed.stop_service()
        errors = [t for s, t in bed.log.service_lines() if s <= 3]
    finally:
        bed.cleanup()

    med_s = statistics.median(service)
    med_b = statistics.median(bare_sudo)
    med_p = statistics.median(bare_plain)
    overhead = med_s - med_b
    print("mount service benchmark, %d cycles each (milliseconds)" % args.cycles)
    print("%-44s %9s %9s %9s %7s" % ("case", "median", "min", "max", "ratio"))
    for name, xs in (("bare: mount -t davfs", bare_plain),
                     ("bare: sudo mount -t davfs (baseline)", bare_sudo),
                     ("bare: sudo mount on staging + move_mount", bare_moved),
                     ("service: request -> visible in /proc/mounts", service)):
        print("%-44s %9.2f %9.2f %9.2f %7.3f" % (name, statistics.median(xs), min(xs), max(xs),
                                                   statistics.median(xs) / med_b))
    print("service overhead over the baseline: %.2f ms (limit %.1f ms)" % (overhead, args.max_overhead_ms))
    print("sudo's own cost: %.2f ms" % (med_b - med_p))
    print("staging + move_mount's own cost: %.2f ms" % (statistics.median(bare_moved) - med_b))
    if errors:
        print("service errors: %r" % errors)
        return 1
    return 0 if overhead < args.max_overhead_ms else 1


if __name__ == "__main__":
    sys.exit(main())
