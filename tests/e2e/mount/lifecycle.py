#!/usr/bin/env python3
"""How shares end, end to end with real sudo, davfs2 and rclone in an
isolated namespace: the service stopped while a user writes, killed and
started again, the endpoint gone while bytes wait for upload, a hanging
mount ahead of an unmount-all, root's copy of the davfs2 files.

The unit file runs the service with KillMode=process: systemd signals the
main process only, so a stop is emulated here by SIGTERM to that process and
nothing else.

    tests/e2e/isolate python3 lifecycle.py NAME --service BIN --user-agent BIN --host-sim BIN
"""

import glob
import hashlib
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import mountenv  # noqa: E402
from mountenv import Bed, Failure, DAV_DIR, USERS, check, mounts, run_scenario, wait_until  # noqa: E402
from scenario import Driver, davfs_daemons, start, user  # noqa: E402
from attacks import Racer, SilentEndpoint, as_user  # noqa: E402

ALICE_UID, ALICE_GID, ALICE_HOME = USERS["alice"]
BOB_UID, BOB_GID, BOB_HOME = USERS["bob"]
RUN_DIR = "/run/quor-mounting-shdir-service"
CONFIG = "debug: true\nunmount_task_timeout: 3600\nunmount_upload_timeout: 120\n"


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def random_file(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    os.chmod(path, 0o644)
    return sha(path)


def write_as(uid, gid, src, dst):
    """The user copies a file into a share (cp closes it when done)."""
    subprocess.run(as_user(uid, gid, ["cp", src, dst]), check=True, timeout=60)


def mp_of(home, name):
    return os.path.normpath(home + "/davfs/" + name)


def server_sha(name):
    p = os.path.join(DAV_DIR, name)
    return sha(p) if os.path.isfile(p) else None


def daemon_cmdlines():
    out = []
    for pid in davfs_daemons():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                out.append(f.read().split(b"\0"))
        except OSError:
            pass
    return out


# ---------------------------------------------------------------- scenarios

def stop_uploads(bed):
    """5 MiB written, then SIGTERM to the main process only: by the time the
    service has exited the server holds the same bytes and nothing is left
    mounted."""
    d = start(bed, CONFIG)
    user(bed, "alice", 5001)
    d.mount("host/share")
    mp = mp_of(ALICE_HOME, "share")
    check(mp in mounts(), "mounted: %r" % mounts())
    digest = random_file("/tmp/big.bin", 5 << 20)
    write_as(ALICE_UID, ALICE_GID, "/tmp/big.bin", mp + "/big.bin")
    check(server_sha("big.bin") != digest, "not uploaded yet (davfs2 delays uploads)")
    m = bed.log.mark()
    t0 = time.monotonic()
    bed.service.send_signal(signal.SIGTERM)
    rc = bed.service.wait(130)
    took = time.monotonic() - t0
    check(rc == 0, "exit status %d" % rc)
    check(server_sha("big.bin") == digest, "the server holds the 5 MiB when the service has exited")
    check(mounts() == [], "nothing left mounted: %r" % mounts())
    check(davfs_daemons() == [], "davfs2 ended by itself")
    check(not os.path.exists(mp), "mount directory removed")
    check(bed.log.has("Stop: unmounting 1 shares\n", mark=m) and bed.log.has("Stop: 1 of 1 shares unmounted\n", mark=m),
          "stop logged\n" + bed.log.dump())
    check(os.listdir(RUN_DIR + "/davfs") == [], "root's davfs2 files removed")
    print("stop with 5 MiB pending took %.2f s" % took)


def kill_adopt(bed):
    """The service dies (SIGKILL) with two users' shares mounted: the next
    instance adopts both, they stay readable, and the host's unmount-all
    through the new instance removes them and their directories."""
    d = start(bed, CONFIG)
    with open(os.path.join(DAV_DIR, "hello.txt"), "w") as f:
        f.write("still here\n")
    user(bed, "alice", 5001)
    d.mount("host/docs")
    user(bed, "bob", 5002)
    d.mount("host/pics")
    a, b = mp_of(ALICE_HOME, "docs"), mp_of(BOB_HOME, "pics")
    check(a in mounts() and b in mounts(), "both mounted: %r" % mounts())
    # The host leaves first, so the new instance can take the channel over
    # at its first start (see the kill -9 fault scenario).
    m = bed.log.mark()
    d.host.close()
    bed.log.wait("Shm disconnected\n", mark=m, timeout=15)
    bed.service.send_signal(signal.SIGKILL)
    bed.service.wait(10)
    check(a in mounts() and b in mounts(), "the shares outlive the service: %r" % mounts())

    m = bed.log.mark()
    bed.start_service("-c", bed.write_config(CONFIG), wait_ready=False)
    bed.log.wait("Before loop\n", mark=m, timeout=15)
    check(bed.log.has("Adopted 2 of 2 shares left by the previous instance\n", mark=m), "both adopted")
    for path in (a, b):
        with open(path + "/hello.txt") as f:
            check(f.read() == "still here\n", "adopted share readable: " + path)
    d = Driver(bed)
    d.unmount_all()
    check(mounts() == [], "unmount-all through the new instance: %r" % mounts())
    check(not os.path.exists(a) and not os.path.exists(b), "their directories removed")
    wait_until(lambda: davfs_daemons() == [], 30, "the davfs2 daemons to end")
    d.host.close()
    check(bed.stop_service(timeout=30) == 0, "clean exit")


def forged_state(bed):
    """A record that does not match the mount table (here: a path the user
    controls, a mount id of something else) is forgotten, not adopted."""
    os.makedirs(RUN_DIR, mode=0o700, exist_ok=True)
    os.makedirs(ALICE_HOME + "/davfs/fake", exist_ok=True)
    root_id = 1
    with open("/proc/self/mountinfo") as f:
        root_id = int(f.readline().split()[0])
    with open(RUN_DIR + "/shares", "w") as f:
        f.write("quor-shares 1\nshare %d 5001 2001 2001 alice %s host/fake %s/davfs//fake fake /run/x\n"
                % (root_id, ALICE_HOME, ALICE_HOME))
    os.chmod(RUN_DIR + "/shares", 0o600)
    m = bed.log.mark()
    start(bed, CONFIG)
    bed.log.wait("Adopted 0 of 1 shares left by the previous instance\n", mark=m, timeout=10)
    check(bed.log.has("Recorded share host/fake at %s/davfs//fake is not mounted there any more, forgotten\n"
                      % ALICE_HOME, mark=m), "forgotten\n" + bed.log.dump())
    with open(RUN_DIR + "/shares") as f:
        check(f.read() == "quor-shares 1\n", "the state file rewritten without it")
    # A file someone else could write is not read at all.
    check(bed.stop_service() == 0, "clean exit")
    with open(RUN_DIR + "/shares", "w") as f:
        f.write("quor-shares 1\nshare %d 5001 2001 2001 alice %s host/fake %s/davfs//fake fake /run/x\n"
                % (root_id, ALICE_HOME, ALICE_HOME))
    os.chmod(RUN_DIR + "/shares", 0o644)
    m = bed.log.mark()
    bed.start_service("-c", bed.write_config(CONFIG))
    bed.log.wait("Error: %s/shares is not the service's own file, ignored\n" % RUN_DIR, mark=m, timeout=10)
    check(os.path.isdir(ALICE_HOME + "/davfs/fake"), "nothing of the user's touched")
    check(bed.stop_service() == 0, "clean exit")


def cache_files_with(digest):
    out = []
    for p in glob.glob("/var/cache/davfs2/**", recursive=True):
        if os.path.isfile(p) and os.path.getsize(p) == 1 << 20 and sha(p) == digest:
            out.append(p)
    return out


def endpoint_down(bed):
    """Bytes that could not be uploaded stay in the cache of their (user,
    share) and reach the server only when the same user mounts the same
    share again."""
    d = start(bed, CONFIG)
    user(bed, "alice", 5001)
    d.mount("host/A")
    a = mp_of(ALICE_HOME, "A")
    digest = random_file("/tmp/stranded.bin", 1 << 20)
    write_as(ALICE_UID, ALICE_GID, "/tmp/stranded.bin", a + "/stranded.bin")
    rclone = bed.procs[0]
    rclone.kill()
    rclone.wait()
    t0 = time.monotonic()
    d.unmount("host/A")
    check(time.monotonic() - t0 < 10, "the unmount did not hang")
    check(a not in mounts(), "unmounted: %r" % mounts())
    wait_until(lambda: davfs_daemons() == [], 60, "davfs2 to give up and exit")
    check(server_sha("stranded.bin") is None, "nothing reached the (stopped) server")
    cached = cache_files_with(digest)
    check(len(cached) == 1 and "-staging-u%d-" % ALICE_UID in cached[0] and "-A+alice/" in cached[0],
          "the bytes stay in the cache of alice's share A: %r" % glob.glob("/var/cache/davfs2/*"))

    bed.procs.remove(rclone)
    bed.start_webdav()
    # The same user's other share, and another user's same share.
    d.mount("host/B")
    user(bed, "bob", 5002)
    d.mount("host/A")
    time.sleep(3)
    d.unmount_all()
    wait_until(lambda: davfs_daemons() == [], 60, "their davfs2 daemons to end")
    check(server_sha("stranded.bin") is None, "the bytes went into another share or another user's")
    check(cache_files_with(digest), "still cached")
    # The same user's same share: they arrive.
    user(bed, "alice", 5001)
    d.mount("host/A")
    d.unmount("host/A")
    wait_until(lambda: server_sha("stranded.bin") == digest, 60, "the stranded bytes to arrive")
    d.host.close()
    check(bed.stop_service(timeout=30) == 0, "clean exit")


def hanging_unmount_all(bed):
    """A mount command that hangs does not hold up an unmount-all: the other
    shares are gone within 5 s."""
    d = start(bed, CONFIG + "mount_timeout: 60\n")
    user(bed, "alice", 5001)
    d.mount("host/one")
    d.mount("host/two")
    check(len(mounts()) == 2, "two mounted: %r" % mounts())
    rclone = bed.procs[0]
    rclone.kill()
    rclone.wait()
    silent = SilentEndpoint()
    m = bed.log.mark()
    d.host.send("mount host/hangs")
    bed.log.wait_prefix("Mount cmd sudo mount -t davfs", mark=m, timeout=10)
    time.sleep(1)
    t0 = time.monotonic()
    d.host.send("unmount-all")
    wait_until(lambda: mounts() == [], 5, "every share gone within 5 s")
    took = time.monotonic() - t0
    bed.log.wait_prefix("Mount command ", mark=m, timeout=5)
    check(not os.path.exists(ALICE_HOME + "/davfs/hangs"), "the cancelled mount left no directory")
    check(os.listdir(RUN_DIR + "/staging") == [], "staging cleaned: %r" % os.listdir(RUN_DIR + "/staging"))
    print("unmount-all behind a hanging mount took %.2f s" % took)
    silent.stop()
    d.host.close()


def root_conf(bed):
    """mount.davfs reads root's copy, whatever the user does to ~/.davfs2:
    here the directory is swapped for a link to the user's own files the
    moment the service has written the conf (inotify), before davfs2 starts.
    The user's files would break listing (buf_size 1) and name other
    credentials; the mounts keep working and davfs2 was given root's copy."""
    d = start(bed, CONFIG)
    user(bed, "alice", 5001)
    with open(os.path.join(DAV_DIR, "hello.txt"), "w") as f:
        f.write("hello\n")
    evil = ALICE_HOME + "/evil"
    os.makedirs(evil)
    with open(evil + "/davfs2_orvanta.conf", "w") as f:
        f.write("secrets %s/secrets_orvanta\nbuf_size 1\n" % evil)
    with open(evil + "/secrets_orvanta", "w") as f:
        f.write('127.0.0.1:9843 "stolen" "creds"\n')
    subprocess.run(["chown", "-R", "%d:%d" % (ALICE_UID, ALICE_GID), evil], check=True)
    racer = Racer("afterwrite", evil)
    rounds = 5
    try:
        for _ in range(rounds):
            dav = ALICE_HOME + "/.davfs2"
            wait_until(lambda: not os.path.islink(dav) and os.path.isfile(dav + "/davfs2_orvanta.conf"), 5,
                       "the racer's fresh ~/.davfs2")
            d.mount("host/share")
            mp = mp_of(ALICE_HOME, "share")
            check(mp in mounts(), "mounted despite the swap: %r" % mounts())
            check("hello.txt" in os.listdir(mp), "listing works (root's buf_size)")
            lines = daemon_cmdlines()
            check(len(lines) == 1, "one daemon: %r" % lines)
            opts = [o for a in lines[0] for o in a.decode().split(",") if o.startswith("conf=")]
            check(len(opts) == 1 and opts[0].startswith("conf=%s/davfs/" % RUN_DIR),
                  "mount.davfs was given root's copy: %r" % lines[0])
            conf = opts[0][len("conf="):]
            st = os.stat(conf)
            check(st.st_uid == 0 and st.st_mode & 0o077 == 0, "root's copy is root's alone")
            with open(conf) as f:
                text = f.read()
            check("evil" not in text and "secrets \t%s/davfs/" % RUN_DIR in text, "root's secrets: %r" % text)
            d.unmount_all()
            check(not os.path.exists(conf), "root's copy removed with the mount")
            wait_until(lambda: davfs_daemons() == [], 30, "davfs2 to end")
    finally:
        swaps = racer.stop()
    check(swaps >= rounds - 1, "the race was run (%d swaps)" % swaps)
    d.host.close()


FAKE_STATE = "/run/fake-logind/sessions"


def logins(text):
    """Rewrites the logind stand-in's sessions at once (the service watches
    the file's directory, as it would watch logind)."""
    with open(FAKE_STATE + ".new", "w") as f:
        f.write(text)
    os.rename(FAKE_STATE + ".new", FAKE_STATE)


def logout(bed):
    """The desktop user logs out: their shares are unmounted within a few
    seconds with their data on the server and the service's credential
    line gone; another user's share is untouched."""
    os.makedirs("/run/systemd/seats", exist_ok=True)
    os.makedirs(os.path.dirname(FAKE_STATE), exist_ok=True)
    logins("c1 %d seat0 1\n" % ALICE_UID)
    os.environ["LD_PRELOAD"] = bed.args.fake_logind
    os.environ["FAKE_LOGIND_STATE"] = FAKE_STATE
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    d = start(bed, CONFIG)
    os.environ.pop("LD_PRELOAD", None)
    subprocess.run(["cp", bed.args.user_agent, "/tmp/user-agent"], check=True)
    os.chmod("/tmp/user-agent", 0o755)

    def agent(uid, gid):
        m = bed.log.mark()
        p = subprocess.Popen(as_user(uid, gid, ["/tmp/user-agent", "--hold-ms", "60000"]),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        bed.procs.append(p)
        bed.log.wait("last user info updated\n", mark=m, timeout=10)

    agent(ALICE_UID, ALICE_GID)
    d.mount("host/docs")
    a = mp_of(ALICE_HOME, "docs")
    digest = random_file("/tmp/report.bin", 2 << 20)
    write_as(ALICE_UID, ALICE_GID, "/tmp/report.bin", a + "/report.bin")
    # bob takes the seat; alice stays logged in elsewhere.
    logins("c1 %d - 1\nc2 %d seat0 1\n" % (ALICE_UID, BOB_UID))
    agent(BOB_UID, BOB_GID)
    d.mount("host/pics")
    b = mp_of(BOB_HOME, "pics")
    check(a in mounts() and b in mounts(), "both mounted: %r" % mounts())
    time.sleep(1)
    check(a in mounts(), "alice still logged in (without a seat): her share stays")
    m = bed.log.mark()
    t0 = time.monotonic()
    logins("c2 %d seat0 1\n" % BOB_UID)
    wait_until(lambda: a not in mounts(), 5, "alice's share unmounted after her logout")
    print("logout to unmount: %.2f s" % (time.monotonic() - t0))
    check(bed.log.has("User alice has logged out: unmounting their shares\n", mark=m), "logout logged")
    wait_until(lambda: server_sha("report.bin") == digest, 10, "her data on the server")
    check(b in mounts(), "bob's share untouched: %r" % mounts())
    with open(ALICE_HOME + "/.davfs2/secrets_orvanta") as f:
        check("9843" not in f.read(), "alice's credential line removed")
    with open(BOB_HOME + "/.davfs2/secrets_orvanta") as f:
        check("9843" in f.read(), "bob's credential line kept")
    d.unmount_all()
    d.host.close()


SCENARIOS = {"logout": logout, "stop_uploads": stop_uploads, "kill_adopt": kill_adopt, "forged_state": forged_state,
             "endpoint_down": endpoint_down, "hanging_unmount_all": hanging_unmount_all, "root_conf": root_conf}


def main():
    return mountenv.main(SCENARIOS, ("--fake-logind",))


if __name__ == "__main__":
    sys.exit(main())
