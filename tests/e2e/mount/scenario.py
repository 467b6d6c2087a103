#!/usr/bin/env python3
"""End-to-end scenarios of quor-mounting-shdir-service with real davfs2 and a
real WebDAV endpoint. Run one through tests/e2e/isolate:

    tests/e2e/isolate python3 scenario.py NAME --service BIN --user-agent BIN --host-sim BIN
"""

import os
import re
import stat
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mountenv  # noqa: E402
from mountenv import (Bed, Failure, SOCKET_PATH, DAV_DIR, USERS, check, mounts,  # noqa: E402
                      run_scenario, wait_until)

ALICE_HOME = USERS["alice"][2]
BOB_HOME = USERS["bob"][2]
CRED = '127.0.0.1:9843 "" ""\n'


def printable(s):
    return "".join("?" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in s)


class Driver:
    """Sends requests one at a time: each is followed by a no-op request, and
    the next is sent only once the service has logged that no-op, so two
    requests never share one block of the channel."""

    def __init__(self, bed):
        self.bed = bed
        self.log = bed.log
        self.host = bed.host()
        self.n = 0

    def sync(self, mark):
        self.n += 1
        name = "sync-%d" % self.n
        self.host.send("op 3 " + name)
        self.log.wait("Got msg shfolder: %s\n" % name, mark=mark, timeout=60)

    def request(self, line, folder):
        mark = self.log.mark()
        self.host.send(line)
        self.log.wait("Got msg shfolder: %s\n" % printable(folder), mark=mark, timeout=30)
        self.sync(mark)
        return mark

    def mount(self, folder):
        return self.request("mount " + folder, folder)

    def unmount(self, folder):
        return self.request("unmount " + folder, folder)

    def unmount_all(self):
        return self.request("unmount-all", "")

    def raw(self, hexbytes, n):
        mark = self.log.mark()
        self.host.send("raw " + hexbytes)
        self.log.wait("Invalid message length %d\n" % n, mark=mark)


def start(bed, config="debug: true\nunmount_task_timeout: 2\n"):
    bed.start_webdav()
    path = bed.write_config(config)
    bed.start_service("-c", path)
    return Driver(bed)


def user(bed, name, pid):
    mark = bed.log.mark()
    bed.user_agent("--user", name, "--pid", str(pid))
    bed.log.wait("last user info updated\n", mark=mark)


def davfs_daemons():
    """Pids of the live mount.davfs processes."""
    return [pid for pid, _ in mountenv.live_processes(("mount.davfs",))]


def pid_files():
    d = "/run/mount.davfs"
    return [n for n in os.listdir(d) if n.endswith(".pid")] if os.path.isdir(d) else []


def owner(path):
    st = os.lstat(path)
    return st.st_uid, st.st_gid


# ---------------------------------------------------------------- scenarios

def journey(bed):
    d = start(bed)
    with open(os.path.join(DAV_DIR, "hello.txt"), "w") as f:
        f.write("hello from the host\n")
    user(bed, "alice", 5001)

    m = d.mount("host/share")
    mp = ALICE_HOME + "/davfs//share"
    check(bed.log.has("Mount created at %s...\n" % mp, mark=m), "first mount logged\n" + bed.log.dump())
    check(os.path.normpath(mp) in mounts(), "mount in /proc/mounts: %r" % mounts())
    # davfs2 mounts on a root-only staging directory; the service then moves
    # the mount onto the directory it made in the home.
    # mount.davfs reads root's copy of the davfs2 files; the staging name and
    # the copy's name derive from (user, share).
    stage = r"u2001-[0-9a-f]{16}-share"
    check(any(re.fullmatch(r'Mount cmd sudo mount -t davfs -o uid="alice",conf="/run/quor-mounting-shdir-service/'
                           r'davfs/%s\.conf" 127\.0\.0\.1:9843 "/run/quor-mounting-shdir-service/staging/%s"\n'
                           % (stage, stage), t) for _, t in bed.log.since(m)), "command line logged")
    check(os.listdir("/run/quor-mounting-shdir-service/staging") == [], "staging directory emptied")
    # Listing works (needs buf_size >= 64 on this kernel) and content reads back.
    names = sorted(os.listdir(mp))
    check("hello.txt" in names, "listing through the mount: %r" % names)
    with open(os.path.join(mp, "hello.txt")) as f:
        check(f.read() == "hello from the host\n", "file content through the mount")
    # The davfs2 files: owned by the service's account, secrets 0600; the
    # directories made for mounting belong to alice.
    dav = ALICE_HOME + "/.davfs2"
    with open(dav + "/davfs2_orvanta.conf") as f:
        conf = f.read()
    check(conf == "buf_size \t64\ngui_optimize \t1\nsecrets \t%s/secrets_orvanta\nuse_locks \t0\n" % dav,
          "configuration file: %r" % conf)
    with open(dav + "/secrets_orvanta") as f:
        check(f.read() == CRED, "secrets content")
    check(stat.S_IMODE(os.lstat(dav + "/secrets_orvanta").st_mode) == 0o600, "secrets mode")
    check(owner(dav + "/secrets_orvanta") == (0, 0), "secrets owned by root")
    check(owner(ALICE_HOME + "/davfs") == (2001, 2001), "mount base owned by alice")
    check(owner(ALICE_HOME + "/davfs/share")[0] == 2001, "mount point owned by alice")

    # Mounting again gives "_1".
    d.mount("host/share")
    mp1 = mp + "_1"
    check(os.path.normpath(mp1) in mounts(), "second mount: %r" % mounts())
    # The first daemon still runs: the second mount was staged on a name of
    # its own, and both are served. mount.davfs writes its pid file after the
    # mount is in the table, so the second one may lag a moment.
    wait_until(lambda: len(pid_files()) >= 2, timeout=5.0, what="the second davfs2 pid file")
    check(len(pid_files()) == 2 and all(re.fullmatch(r"run-quor-mounting-shdir-service-staging-%s(-1)?\.pid" % stage, f)
                                            for f in pid_files()), "pid files %r" % pid_files())
    copies = sorted(os.listdir("/run/quor-mounting-shdir-service/davfs"))
    check(len(copies) == 4, "root's davfs2 files, two per mount: %r" % copies)
    check("hello.txt" in os.listdir(mp1) and "hello.txt" in os.listdir(mp), "both mounts serve")

    # Unmount: both gone, directories removed, root's copies too.
    d.unmount("host/share")
    check(not any(p.startswith(ALICE_HOME) for p in mounts()), "unmounted: %r" % mounts())
    check(os.listdir("/run/quor-mounting-shdir-service/davfs") == [], "root's davfs2 files removed")
    check(not os.path.exists(mp) and not os.path.exists(mp1), "mount directories removed")

    # Keep one mount of alice's, then bob logs in: new mounts go to bob's home.
    d.mount("docs")
    user(bed, "bob", 5002)
    d.mount("pics")
    check(os.path.normpath(BOB_HOME + "/davfs//pics") in mounts(), "bob's mount: %r" % mounts())
    check(os.path.normpath(ALICE_HOME + "/davfs//docs") in mounts(), "alice's mount kept")
    # op 2 still reaches alice's mount.
    wait_until(lambda: len(davfs_daemons()) == 2, 30, "one davfs2 daemon per mount")
    d.unmount_all()
    check(mounts() == [], "unmount-all: %r" % mounts())
    # davfs2 named its pid file after the staging directory; unmounting the
    # moved mount still ends its daemon, which removes that file.
    wait_until(lambda: davfs_daemons() == [], 30, "the davfs2 daemons to end")
    wait_until(lambda: pid_files() == [], 10, "davfs2's pid files to go")
    check(not os.path.exists(ALICE_HOME + "/davfs/docs"), "alice's directory removed")
    check(not os.path.exists(BOB_HOME + "/davfs/pics"), "bob's directory removed")
    d.host.close()
    check(bed.stop_service() == 0, "clean exit")


def busy(bed):
    """A share the user still has open: the host's unmount takes it out of
    the home at once without breaking the user's open files (no forced
    unmount, which would cut the FUSE connection); davfs2 ends once the last
    file is closed."""
    d = start(bed)
    with open(os.path.join(DAV_DIR, "held.txt"), "w") as f:
        f.write("x\n")
    user(bed, "alice", 5001)
    d.mount("share")
    mp = ALICE_HOME + "/davfs//share"
    holder = subprocess.Popen(["sleep", "600"], cwd=mp)
    try:
        time.sleep(0.2)
        m = d.unmount("share")
        check(bed.log.has("Error: Failed to umount %s. Reason: Device or resource busy [16]\n" % mp, 4, m),
              "plain unmount fails busy\n" + bed.log.dump())
        check(bed.log.has("Share %s is in use: detached, it ends when its last file is closed\n" % mp, 6, m),
              "detached")
        check(os.path.normpath(mp) not in mounts(), "gone from the home at once: %r" % mounts())
        check(not os.path.exists(mp), "directory removed")
        # The user's program still reads through its open directory.
        check("held.txt" in os.listdir("/proc/%d/cwd" % holder.pid), "the open share still answers")
        check(len(davfs_daemons()) == 1, "davfs2 still serves the open files")
    finally:
        holder.kill()
        holder.wait()
    wait_until(lambda: davfs_daemons() == [], 30, "davfs2 to end once the last file is closed")
    d.host.close()
    bed.stop_service()


def bad_input(bed):
    d = start(bed)
    # A request before any user info.
    m = d.mount("early")
    check(bed.log.has("Cannot process mount operation cause has no info about current user\n", 3, m),
          "no user yet\n" + bed.log.dump())
    # Malformed requests of every length up to a valid one.
    valid = bytes([10, 0, 5, 0]) + b"share" + bytes([1])
    for n in range(1, len(valid)):
        d.raw(valid[:n].hex(), n)
    d.raw((bytes([200, 0]) + valid[2:]).hex(), len(valid))
    # Bad user records: pid 0, unknown uid, missing home.
    for argv, line in ((["--pid", "0", "--uid", "2001"], "pid not valid"),
                       (["--pid", "7", "--uid", "31337"], "uid not valid"),
                       (["--pid", "7", "--user", "ghost"], "homedir not exists")):
        m = bed.log.mark()
        bed.user_agent(*argv)
        bed.log.wait("Error: parsing user info failed, %s\n" % line, 3, m)
    # A spoofed uid from an unprivileged peer.
    m = bed.log.mark()
    bed.user_agent("--as-uid", "2004", "--uid", "2001", "--pid", "66")
    bed.log.wait("Error: user info from uid 2004 claims uid 2001, dropped\n", 3, m)
    m = bed.log.mark()
    d.mount("still-nobody")
    check(bed.log.has("Cannot process mount operation cause has no info about current user\n", 3, m),
          "spoofed record did not make a user")
    # Record split across writes.
    m = bed.log.mark()
    bed.user_agent("--user", "alice", "--pid", "5001", "--split", "3,5")
    bed.log.wait("last user info updated\n", mark=m)

    # Hostile names: mounted literally inside the home, nothing run by a shell.
    # (The service runs in /tmp: a shell would have made /tmp/pwned1.)
    for name in ('a"b', "`touch pwned1`", "$(touch pwned2)", "semi;colon", "sp ace"):
        m = d.mount("x/" + name)
        check(os.path.normpath(ALICE_HOME + "/davfs/" + name) in mounts(), "mounted %r: %r" % (name, mounts()))
    check(not os.path.exists("/tmp/pwned1") and not os.path.exists("/tmp/pwned2"), "no shell ran")
    m = d.mount("x/..")
    check(bed.log.has("Error: Invalid shared folder name x/... Stop mount\n", 3, m), "'..' refused")
    m = d.mount("dir/")
    check(os.path.normpath(ALICE_HOME + "/davfs//_1") in mounts(), "trailing slash -> _1")
    m = d.mount("y/" + "n" * 8000)
    check(any(t.startswith("Error[36] check dir to mount ") for _, t in bed.log.since(m)), "8000-byte name")
    # Planted symlinks: a link in place of the mount base, and of .davfs2.
    d.unmount_all()
    check(mounts() == [], "all unmounted")
    os.makedirs("/tmp/outside", exist_ok=True)
    subprocess.run(["rm", "-rf", ALICE_HOME + "/davfs", ALICE_HOME + "/.davfs2"], check=True)
    os.symlink("/tmp/outside", ALICE_HOME + "/davfs")
    os.symlink("/tmp/outside", ALICE_HOME + "/.davfs2")
    m = d.mount("share")
    check(bed.log.has("Error: Mount base %s/davfs is not a directory. Stop mount\n" % ALICE_HOME, 3, m),
          "symlinked mount base refused\n" + bed.log.dump())
    check(os.listdir("/tmp/outside") == [], "nothing written outside the home")
    os.unlink(ALICE_HOME + "/davfs")
    m = d.mount("share")
    check(os.path.normpath(ALICE_HOME + "/davfs//share") in mounts(), "mount after the link is gone")
    check(os.path.exists(ALICE_HOME + "/.davfs2_1/davfs2_orvanta.conf"), ".davfs2 link skipped")
    check(os.listdir("/tmp/outside") == [], "nothing written outside the home")
    check(all(p.startswith(ALICE_HOME + "/") for p in mounts()), "no mount outside the home")
    d.unmount_all()
    d.host.close()
    check(bed.service.poll() is None, "service still running")
    bed.stop_service()


def config(bed):
    bed.start_webdav()

    def run(*argv, expect=()):
        p, m = bed.start_service(*argv)
        lines = [t for _, t in bed.log.since(m)]
        for want in expect:
            wait_until(lambda: want in [t for _, t in bed.log.since(m)], 5, repr(want))
        check(bed.stop_service() == 0, "exit status 0")
        check(not os.path.exists(SOCKET_PATH), "socket removed")
        return [t for _, t in bed.log.since(m)]

    lines = run()
    check(not any(t.startswith("Config ") for t in lines), "no config lines without -c: %r" % lines)
    lines = run("-c", expect=["Unknown argument 1: -c\n"])
    check(not any(t.startswith("Config ") for t in lines), "-c alone: defaults")
    a = bed.write_config("debug: false\n", "/tmp/a.yaml")
    b = bed.write_config("debug: yes\nmount_dir:\nunmount_task_timeout: -5\n", "/tmp/b.yaml")
    lines = run("-c", a, "-c", b, expect=["Config debug 1\n", "Config mount_dir null\n",
                                          "Config unmount_task_timeout is 40\n", "Before loop\n"])
    check("Parsing config file /tmp/b.yaml\n" in lines and "Parsing config file /tmp/a.yaml\n" not in lines,
          "last -c wins: %r" % lines)
    c = bed.write_config("unmount_task_timeout: 5x\nuse_locks: on\n", "/tmp/c.yaml")
    run("-c", c, expect=["Config unmount_task_timeout is 40\n", "Config use_locks is enabled\n",
                         "Config debug 0\n"])
    lines = run("-c", "/tmp/none.yaml",
                expect=["Config unmount_task_timeout is 40\n"])
    check(any(t.startswith("Error while parse configuration file /tmp/none.yaml: ") for t in lines),
          "missing file logged")
    # A broken file still lets a failed mount explain itself without debug.
    bed.write_config("debug: [\n", "/tmp/d.yaml")
    p, m = bed.start_service("-c", "/tmp/d.yaml")
    d = Driver.__new__(Driver)
    d.bed, d.log, d.host, d.n = bed, bed.log, bed.host(), 0
    m = bed.log.mark()
    d.host.send("mount share")
    bed.log.wait("Cannot process mount operation cause has no info about current user\n", 3, m)
    d.host.close()
    bed.stop_service()


def sigterm(bed):
    bed.start_webdav()
    path = bed.write_config("unmount_task_timeout: 3600\n")
    p, m = bed.start_service("-c", path)
    time.sleep(0.5)
    t0 = time.monotonic()
    p.terminate()
    rc = p.wait(10)
    took = time.monotonic() - t0
    check(rc == 0, "exit status %d" % rc)
    check(took < 3.0, "exit within a poll period, took %.2f s" % took)
    check(not os.path.exists(SOCKET_PATH), "socket file removed")
    check(not os.path.exists("/dev/shm/quor-mounting-shdir-service"), "shared memory object removed")


SCENARIOS = {"journey": journey, "busy": busy, "bad_input": bad_input, "config": config, "sigterm": sigterm}


def main():
    return mountenv.main(SCENARIOS)


if __name__ == "__main__":
    sys.exit(main())
