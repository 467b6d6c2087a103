#!/usr/bin/env python3
"""Faults around the mount service, end to end with real davfs2 and a real
WebDAV endpoint. Run one through tests/e2e/isolate:

    tests/e2e/isolate python3 mount_faults.py NAME --service BIN --user-agent BIN --host-sim BIN

service_killed  the service dies (kill -9) with a folder mounted and no host
                attached, so its shared-memory object stays behind; the
                restarted service takes that object over at its first start
                and serves as soon as a host connects (no manual cleanup),
                and it adopts the mount the dead one left, so the host's
                unmount reaches it.
webdav_down     the WebDAV endpoint is down when a mount request arrives.
                Nothing listening: davfs2 mounts offline and the folder
                fills once the endpoint is up. Up but failing (503): a clear
                error, no directory left behind, the service keeps serving,
                and the next request after the endpoint is back mounts.
"""

import http.server
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mount"))
import mountenv  # noqa: E402
from mountenv import Bed, DAV_DIR, SHM_PATH, USERS, check, mounts, run_scenario, wait_until  # noqa: E402
from scenario import Driver, user  # noqa: E402

ALICE_HOME = USERS["alice"][2]
CONFIG = "debug: true\nunmount_task_timeout: 2\n"


def restart_service(bed, path, within=30):
    """Starts the service again the way its unit does (Restart=on-failure):
    a start that fails is tried again after a pause. Returns the number of
    starts it took."""
    end = time.monotonic() + within
    attempt = 0
    while True:
        attempt += 1
        mark = bed.log.mark()
        p, _ = bed.start_service("-c", path, wait_ready=False)
        # The dead service's socket file and shared-memory object may still
        # be there, so their presence proves nothing: wait for the new one.
        while time.monotonic() < end:
            if bed.log.has("Before loop\n", mark=mark):
                return attempt
            if p.poll() is not None:
                break
            time.sleep(0.05)
        check(p.poll() is not None, "the new service did not come up within %d s" % within)
        check(p.returncode == 255 and bed.log.has("Error while connect to shared memory\n", 3, mark),
              "a failed start exits 255 after its error line (status %r)" % p.returncode)
        check(time.monotonic() < end, "the service could not start again within %d s" % within)
        time.sleep(1)


def service_killed(bed):
    bed.start_webdav()
    path = bed.write_config(CONFIG)
    bed.start_service("-c", path)
    d = Driver(bed)
    user(bed, "alice", 5001)
    d.mount("host/keep")
    kept = os.path.normpath(ALICE_HOME + "/davfs//keep")
    check(kept in mounts(), "first mount: %r" % mounts())

    # The host leaves first: when the service dies nobody is attached, so
    # nobody removes the object it leaves behind.
    mark = bed.log.mark()
    d.host.close()
    bed.log.wait("Shm disconnected\n", mark=mark, timeout=15)

    old = bed.service
    old.send_signal(signal.SIGKILL)
    check(old.wait(10) == -signal.SIGKILL, "service killed")
    check(kept in mounts(), "the mount outlives its service")
    check(os.path.exists(SHM_PATH), "the dead service's object is left behind")

    mark = bed.log.mark()
    starts = restart_service(bed, path)
    check(starts == 1, "the first start after kill -9 came up (took %d starts)\n%s" % (starts, bed.log.dump()))
    check(bed.log.has("Adopted 1 of 1 shares left by the previous instance\n", mark=mark),
          "the kept mount adopted\n" + bed.log.dump())
    check(any("taking it over" in t for _, t in bed.log.since(mark)),
          "the takeover of the dead server's object is logged\n" + bed.log.dump())
    # A host connects to the new service only now.
    d = Driver(bed)
    bed.log.wait("Shm connected\n", mark=mark, timeout=15)
    # A new service knows no user yet; the agent tells it again.
    m = d.mount("host/early")
    check(bed.log.has("Cannot process mount operation cause has no info about current user\n", 3, m),
          "new service has no user\n" + bed.log.dump())
    user(bed, "alice", 5001)
    d.mount("host/fresh")
    fresh = os.path.normpath(ALICE_HOME + "/davfs//fresh")
    check(fresh in mounts(), "mount through the new service: %r" % mounts())
    d.unmount("host/fresh")
    check(fresh not in mounts() and not os.path.exists(fresh), "new mount unmounted and removed")
    check(kept in mounts(), "an unmount of another folder leaves the adopted mount")
    # The adopted mount is the new service's: the host's unmount reaches it.
    d.unmount("host/keep")
    check(kept not in mounts() and not os.path.exists(kept), "adopted mount unmounted and removed")
    d.mount("host/keep")
    check(kept in mounts(), "the same folder mounts again where it was: %r" % mounts())
    d.unmount_all()
    check(mounts() == [], "all unmounted: %r" % mounts())
    d.host.close()
    check(bed.service.poll() is None, "service still running")
    check(bed.stop_service() == 0, "clean exit")


class ErrorEndpoint:
    """An endpoint that is up but cannot serve: every request gets 503, as
    from a gateway whose WebDAV back end is down."""

    def __init__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def handle_one_request(self):
                self.raw_requestline = self.rfile.readline(65537)
                if not self.raw_requestline or not self.parse_request():
                    self.close_connection = True
                    return
                length = int(self.headers.get("Content-Length") or 0)
                if length:
                    self.rfile.read(length)
                self.send_response(503)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 9843), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def stop_webdav(bed):
    for p in bed.procs:
        if p.args[0] == "rclone" and p.poll() is None:
            p.terminate()
            p.wait(10)


def webdav_down(bed):
    path = bed.write_config(CONFIG)
    bed.start_service("-c", path)
    d = Driver(bed)
    user(bed, "alice", 5001)
    mp = ALICE_HOME + "/davfs//share"

    # Nothing listens on the endpoint: davfs2 mounts anyway and reaches the
    # server once it is there, so the mount is kept and becomes usable.
    mark = d.mount("host/share")
    check(bed.log.has("Mount created at %s...\n" % mp, mark=mark), "offline mount recorded\n" + bed.log.dump())
    check(os.path.normpath(mp) in mounts(), "offline mount: %r" % mounts())
    os.makedirs(DAV_DIR, exist_ok=True)
    with open(os.path.join(DAV_DIR, "hello.txt"), "w") as f:
        f.write("back\n")
    bed.start_webdav()
    wait_until(lambda: "hello.txt" in os.listdir(mp), 60, "the host's files through the offline mount")
    d.unmount("host/share")
    check(mounts() == [] and not os.path.exists(mp), "unmounted and removed")
    stop_webdav(bed)

    # The endpoint answers but cannot serve: the mount fails, is explained,
    # and leaves no directory behind.
    down = ErrorEndpoint()
    try:
        mark = d.mount("host/share")
    finally:
        down.close()
    check(bed.log.has("Error: Failed to mount %s\n" % mp, 3, mark),
          "the failed mount is logged as an error\n" + bed.log.dump())
    check(any(s == 3 and t.startswith("Error: Mount cmd ") and "exited with status" in t
              for s, t in bed.log.since(mark)), "the command's status is logged")
    check(mounts() == [], "nothing mounted: %r" % mounts())
    check(not os.path.exists(mp), "the mount-point directory is removed")
    check(bed.service.poll() is None, "service still running")

    # Endpoint back: the next request mounts, at the same place.
    bed.start_webdav()
    mark = d.mount("host/share")
    check(os.path.normpath(mp) in mounts(), "mount once the endpoint is back: %r\n%s" % (mounts(), bed.log.dump()))
    check(bed.log.has("Mount created at %s...\n" % mp, mark=mark), "mount logged")
    with open(os.path.join(mp, "hello.txt")) as f:
        check(f.read() == "back\n", "content through the mount")
    d.unmount("host/share")
    check(mounts() == [] and not os.path.exists(mp), "unmounted and removed")
    d.host.close()
    check(bed.stop_service() == 0, "clean exit")


SCENARIOS = {"service_killed": service_killed, "webdav_down": webdav_down}


def main():
    return mountenv.main(SCENARIOS)


if __name__ == "__main__":
    sys.exit(main())
