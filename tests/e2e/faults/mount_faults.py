#!/usr/bin/env python3
"""Faults around the mount service, end to end with real davfs2 and a real
WebDAV endpoint. Run one through tests/e2e/isolate:

    tests/e2e/isolate python3 mount_faults.py NAME --service BIN --user-agent BIN --host-sim BIN

service_killed  the service dies (kill -9) with a folder mounted; a new one
                serves new requests, and the orphaned mount can still be
                unmounted by hand.
webdav_down     the WebDAV endpoint is down when a mount request arrives:
                a clear error, no directory left behind, the service keeps
                serving, and the next request after the endpoint is back
                mounts.
"""

import argparse
import os
import signal
import subprocess
import sys
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mount"))
from mountenv import Bed, USERS, check, mounts, wait_until  # noqa: E402
from scenario import Driver, user  # noqa: E402

ALICE_HOME = USERS["alice"][2]
CONFIG = "debug: true\nunmount_task_timeout: 2\n"


def restart_service(bed, path):
    mark = bed.log.mark()
    p, _ = bed.start_service("-c", path, wait_ready=False)
    # The dead service's socket file and shared-memory object are still
    # there, so their presence proves nothing: wait for the new process.
    bed.log.wait("Before loop\n", mark=mark, timeout=15)
    return p


def service_killed(bed):
    bed.start_webdav()
    path = bed.write_config(CONFIG)
    bed.start_service("-c", path)
    d = Driver(bed)
    user(bed, "alice", 5001)
    d.mount("host/keep")
    kept = os.path.normpath(ALICE_HOME + "/davfs//keep")
    check(kept in mounts(), "first mount: %r" % mounts())

    old = bed.service
    old.send_signal(signal.SIGKILL)
    check(old.wait(10) == -signal.SIGKILL, "service killed")
    d.host.p.kill()
    d.host.p.wait()
    check(kept in mounts(), "the mount outlives its service")

    restart_service(bed, path)
    d = Driver(bed)
    # A new service knows no user yet; the agent tells it again.
    mark = bed.log.mark()
    d.mount("host/early")
    check(bed.log.has("Cannot process mount operation cause has no info about current user\n", 3, mark),
          "new service has no user\n" + bed.log.dump())
    user(bed, "alice", 5001)
    d.mount("host/fresh")
    fresh = os.path.normpath(ALICE_HOME + "/davfs//fresh")
    check(fresh in mounts(), "mount through the new service: %r" % mounts())
    d.unmount("host/fresh")
    check(fresh not in mounts() and not os.path.exists(fresh), "new mount unmounted and removed")
    check(kept in mounts(), "the old mount is not the new service's to touch")

    # By hand: no umount helper (davfs2's would wait for its daemon).
    r = subprocess.run(["umount", "-i", kept], capture_output=True, text=True, timeout=30)
    check(r.returncode == 0, "umount -i %s: %s" % (kept, r.stderr))
    wait_until(lambda: kept not in mounts(), 10, "the orphaned mount to leave /proc/mounts")

    d.mount("host/keep")
    check(kept in mounts(), "the same folder mounts again: %r" % mounts())
    d.unmount_all()
    check(mounts() == [], "all unmounted: %r" % mounts())
    d.host.close()
    check(bed.service.poll() is None, "service still running")
    check(bed.stop_service() == 0, "clean exit")


def webdav_down(bed):
    path = bed.write_config(CONFIG)
    bed.start_service("-c", path)
    d = Driver(bed)
    user(bed, "alice", 5001)

    mp = ALICE_HOME + "/davfs//share"
    mark = d.mount("host/share")
    check(bed.log.has("Error: Failed to mount %s\n" % mp, 3, mark),
          "the failed mount is logged as an error\n" + bed.log.dump())
    check(any(s == 3 and t.startswith("Error: Mount cmd ") and "exited with status" in t
              for s, t in bed.log.since(mark)), "the command's status is logged")
    check(mounts() == [], "nothing mounted: %r" % mounts())
    check(not os.path.exists(mp), "the mount-point directory is removed")
    check(bed.service.poll() is None, "service still running")

    bed.start_webdav()
    mark = d.mount("host/share")
    check(os.path.normpath(mp) in mounts(), "mount once the endpoint is back: %r\n%s" % (mounts(), bed.log.dump()))
    check(bed.log.has("Mount created at %s...\n" % mp, mark=mark), "mount logged")
    d.unmount("host/share")
    check(mounts() == [] and not os.path.exists(mp), "unmounted and removed")
    d.host.close()
    check(bed.stop_service() == 0, "clean exit")


SCENARIOS = {"service_killed": service_killed, "webdav_down": webdav_down}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario", choices=sorted(SCENARIOS))
    ap.add_argument("--service", required=True)
    ap.add_argument("--user-agent", required=True)
    ap.add_argument("--host-sim", required=True)
    args = ap.parse_args()
    for k in ("service", "user_agent", "host_sim"):
        setattr(args, k, os.path.abspath(getattr(args, k)))
    bed = Bed(args)
    try:
        SCENARIOS[args.scenario](bed)
    except Exception as e:  # report and fail
        traceback.print_exc()
        print("FAILED: %s" % e, file=sys.stderr)
        print("service log:\n" + bed.log.dump(), file=sys.stderr)
        print("mounts: %r" % mounts(), file=sys.stderr)
        bed.cleanup()
        return 1
    bed.cleanup()
    print("PASSED %s" % args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
