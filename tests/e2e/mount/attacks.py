#!/usr/bin/env python3
"""A local user attacking the root mount service, end to end with real sudo,
davfs2 and rclone, in an isolated namespace. The attacker is the desktop user
(alice) acting in her own home, unprivileged (setpriv), racing the service
with inotify where the attack is a race. Each scenario asserts that nothing
outside the attacker's reach was mounted, written, chmod-ed or deleted, and
that the service still serves the real user within a bound time.

    tests/e2e/isolate python3 attacks.py NAME --service BIN --user-agent BIN --host-sim BIN

mount_point_swap     ~/davfs/share swapped for a link to a root directory
davfs_dir_swap       ~/.davfs2 swapped for a link once root read the conf
secrets_swap         the directory of a "secrets" path swapped for a link
unmount_parent_swap  ~/davfs swapped for a link to a root directory holding
                     an entry of the share's name, before the unmount
silent_endpoint      a WebDAV endpoint that accepts and never answers
"""

import hashlib
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mountenv  # noqa: E402
from mountenv import Bed, Failure, USERS, check, mounts, run_scenario, wait_until  # noqa: E402
from scenario import Driver, davfs_daemons, start, user  # noqa: E402

ALICE_UID, ALICE_GID, ALICE_HOME = USERS["alice"]
BOB_HOME = USERS["bob"][2]
MALLORY_UID, MALLORY_GID, _ = USERS["mallory"]
VICTIM = "/tmp/victim"
STAGING = "/run/quor-mounting-shdir-service/staging"
ROUNDS = int(os.environ.get("ATTACK_ROUNDS", "20"))
SERVE_WITHIN = 15.0  # seconds the real user may wait for a mount afterwards


def as_user(uid, gid, argv, **kw):
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", *argv]


def run_as_alice(*argv):
    subprocess.run(as_user(ALICE_UID, ALICE_GID, list(argv)), check=True)


def victim_dir(name, files=None):
    """A root-owned directory standing for one under /etc."""
    path = os.path.join(VICTIM, name)
    os.makedirs(path, exist_ok=True)
    os.chmod(VICTIM, 0o755)
    os.chmod(path, 0o755)
    for fname, (text, mode) in (files or {}).items():
        with open(os.path.join(path, fname), "w") as f:
            f.write(text)
        os.chmod(os.path.join(path, fname), mode)
    return path


def snapshot(root=VICTIM):
    """Everything under the victim tree: names, types, owners, modes, contents."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            p = os.path.join(dirpath, n)
            st = os.lstat(p)
            digest = None
            if os.path.isfile(p) and not os.path.islink(p):
                with open(p, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            out[p] = (st.st_mode, st.st_uid, st.st_gid, st.st_size, digest)
    return out


def outside_mounts():
    return [m for m in mounts() if not m.startswith(ALICE_HOME + "/") and not m.startswith(BOB_HOME + "/")]


class Racer:
    def __init__(self, mode, victim):
        self.p = subprocess.Popen(as_user(ALICE_UID, ALICE_GID,
                                          ["/usr/bin/python3", os.path.join(HERE, "racer.py"), mode,
                                           ALICE_HOME, victim]),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)  # watches in place
        check(self.p.poll() is None, "racer started: %s" % (self.p.stderr.read() if self.p.poll() else ""))

    def stop(self):
        self.p.kill()
        out, err = self.p.communicate(10)
        swaps = sum(1 for line in out.splitlines() if line.startswith("swapped "))
        print("racer: %d swaps%s" % (swaps, ("; stderr: " + err.strip()) if err.strip() else ""))
        return swaps


def clean_home():
    """As root, without following any link the attacker left."""
    for name in os.listdir(ALICE_HOME):
        p = os.path.join(ALICE_HOME, name)
        if os.path.islink(p) or not os.path.isdir(p):
            os.unlink(p)
        else:
            shutil.rmtree(p)


def still_serves(bed, d, folder="final"):
    """The real user gets a mount, within a bound time, once the attack stops."""
    t0 = time.monotonic()
    d.mount("host/" + folder)
    mp = os.path.normpath(ALICE_HOME + "/davfs/" + folder)
    wait_until(lambda: mp in mounts(), SERVE_WITHIN, "the real user's mount")
    took = time.monotonic() - t0
    check(took < SERVE_WITHIN, "served within %.0f s (took %.1f s)" % (SERVE_WITHIN, took))
    d.unmount("host/" + folder)
    check(mp not in mounts(), "and unmounted")
    check(bed.service.poll() is None, "service still running")


def race(kind, target, d, after_mount):
    """ROUNDS mounts of host/share, each followed by `after_mount()`, while
    the racer of `kind` aims at `target`; the race must really have run."""
    racer = Racer(kind, target)
    try:
        for _ in range(ROUNDS):
            d.mount("host/share")
            after_mount()
    finally:
        swaps = racer.stop()
    check(swaps >= ROUNDS // 2, "the race was run (%d swaps)" % swaps)


def unmount_and_pause(d):
    """Unmounts, then leaves the racer time to set up a fresh ~/.davfs2."""
    d.unmount_all()
    time.sleep(0.2)


# ---------------------------------------------------------------- scenarios

def mount_point_swap(bed):
    d = start(bed)
    user(bed, "alice", 5001)
    target = victim_dir("profile.d", {"00-keep.sh": ("echo keep\n", 0o644)})
    before = snapshot()

    def each():
        check(outside_mounts() == [], "a mount outside the home: %r" % mounts())
        d.unmount_all()
    race("mountpoint", target, d, each)
    check(outside_mounts() == [] and target not in mounts(), "nothing mounted outside: %r" % mounts())
    check(snapshot() == before, "the root directory is untouched")
    d.unmount_all()
    check(mounts() == [], "every mount the service made is gone: %r" % mounts())
    clean_home()
    still_serves(bed, d)


def davfs_dir_swap(bed):
    d = start(bed)
    user(bed, "alice", 5001)
    target = victim_dir("modprobe.d")
    before = snapshot()
    race("davfsdir", target, d, lambda: unmount_and_pause(d))
    check(os.listdir(target) == [], "root wrote into the linked directory: %r" % os.listdir(target))
    check(snapshot() == before, "the root directory is untouched")
    d.unmount_all()
    clean_home()
    still_serves(bed, d)


def secrets_swap(bed):
    d = start(bed)
    user(bed, "alice", 5001)
    passwd = "root:x:0:0:root:/root:/bin/bash\n"
    target = victim_dir("etc", {"passwd": (passwd, 0o644)})
    before = snapshot()
    race("secrets", target, d, lambda: unmount_and_pause(d))
    with open(os.path.join(target, "passwd")) as f:
        check(f.read() == passwd, "the root file was written to")
    check(os.stat(os.path.join(target, "passwd")).st_mode & 0o7777 == 0o644, "the root file was chmod-ed")
    check(snapshot() == before, "the root directory is untouched")
    d.unmount_all()
    clean_home()
    still_serves(bed, d)


def unmount_parent_swap(bed):
    d = start(bed)
    user(bed, "alice", 5001)
    target = victim_dir("lib", {"share": ("root's file\n", 0o644)})
    os.makedirs(os.path.join(target, "share_1"), exist_ok=True)
    before = snapshot()
    for n in range(5):
        d.mount("host/share")
        mp = os.path.normpath(ALICE_HOME + "/davfs/share")
        check(mp in mounts(), "mounted: %r" % mounts())
        old = ALICE_HOME + "/davfs.old%d" % n
        # The user moves the mount base away and links its name to a root
        # directory holding entries of the share's names.
        run_as_alice("mv", ALICE_HOME + "/davfs", old)
        run_as_alice("ln", "-s", target, ALICE_HOME + "/davfs")
        m = d.unmount("host/share")
        check(os.path.normpath(old + "/share") not in mounts(), "the real mount is gone: %r" % mounts())
        check(mounts() == [], "nothing left mounted: %r" % mounts())
        check(not os.path.exists(old + "/share"), "the mount directory was removed where it is")
        check(bed.log.has("Umount result 0\n", mark=m), "unmounted at the first try\n" + bed.log.dump())
        check(snapshot() == before, "the root directory is untouched (round %d)" % n)
        run_as_alice("rm", ALICE_HOME + "/davfs")
        run_as_alice("mv", old, ALICE_HOME + "/davfs")
    still_serves(bed, d)


class SilentEndpoint:
    """A listener, run by another local user, that accepts and never answers."""

    def __init__(self):
        code = ("import socket,time\n"
                "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                "s.bind(('127.0.0.1', 9843)); s.listen(64); held=[]\n"
                "while True: held.append(s.accept())\n")
        self.p = subprocess.Popen(as_user(MALLORY_UID, MALLORY_GID, ["/usr/bin/python3", "-c", code]))
        mountenv.wait_for_port(9843, 10, "silent endpoint")

    def stop(self):
        self.p.kill()
        self.p.wait()


def command_processes():
    """sudo, mount and mount.davfs processes still running (zombies aside)."""
    return mountenv.live_processes(("sudo", "mount", "mount.davfs"))


def silent_endpoint(bed):
    silent = SilentEndpoint()
    path = bed.write_config("debug: true\nunmount_task_timeout: 2\nmount_timeout: 4\n")
    bed.start_service("-c", path)
    d = Driver(bed)
    user(bed, "alice", 5001)
    m = bed.log.mark()
    d.host.send("mount host/share")
    bed.log.wait_prefix("Mount cmd sudo mount -t davfs", mark=m, timeout=10)
    t0 = time.monotonic()
    # While the command hangs: a login is taken at once, and an unmount-all
    # is queued behind the mount, not lost.
    u = bed.log.mark()
    bed.user_agent("--user", "bob", "--pid", "5002")
    bed.log.wait("last user info updated\n", mark=u, timeout=2)
    check(time.monotonic() - t0 < 2.5, "user info served while the mount command hangs")
    check(bed.log.since(m) and not bed.log.has("Got msg shfolder: \n", mark=m), "unmount-all not yet carried out")
    # The unmount-all cancels the hanging command at once rather than
    # waiting for its deadline.
    d.host.send("unmount-all")
    bed.log.wait_prefix("Mount command ", mark=m, timeout=3)
    bed.log.wait_prefix("Error: Mount cmd sudo mount -t davfs", mark=m, timeout=3)
    bed.log.wait("Got msg shfolder: \n", mark=m, timeout=3)
    took = time.monotonic() - t0
    check(took < 4, "the unmount-all ran before the mount's deadline (%.1f s)" % took)
    check(bed.log.has("Error: Failed to mount %s/davfs//share\n" % ALICE_HOME, 3, m), "failure logged")
    wait_until(lambda: command_processes() == [], 5, "the mount command's processes to be gone")
    check(mounts() == [], "nothing mounted: %r" % mounts())
    check(os.listdir(STAGING) == [], "staging emptied: %r" % os.listdir(STAGING))
    check(not os.path.exists(ALICE_HOME + "/davfs/share"), "the mount directory was removed")
    # The endpoint comes back: the service serves the current user (bob).
    silent.stop()
    bed.start_webdav()
    t1 = time.monotonic()
    d.mount("host/later")
    mp = os.path.normpath(BOB_HOME + "/davfs/later")
    wait_until(lambda: mp in mounts(), SERVE_WITHIN, "the next mount")
    check(time.monotonic() - t1 < SERVE_WITHIN, "served in time")
    d.unmount_all()
    check(mounts() == [], "unmounted: %r" % mounts())
    d.host.close()
    check(bed.stop_service() == 0, "clean exit")


SCENARIOS = {"mount_point_swap": mount_point_swap, "davfs_dir_swap": davfs_dir_swap,
             "secrets_swap": secrets_swap, "unmount_parent_swap": unmount_parent_swap,
             "silent_endpoint": silent_endpoint}


def main():
    return mountenv.main(SCENARIOS)


if __name__ == "__main__":
    sys.exit(main())
