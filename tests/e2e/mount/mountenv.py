"""Test bed for the mount service inside an isolated namespace (run through
tests/e2e/isolate): a private /dev with a syslog listener on /dev/log,
private users, a real WebDAV endpoint (rclone), the service, and its two
peers (user-agent, host-sim-mount)."""

import argparse
import os
import re
import socket
import subprocess
import threading
import sys
import time
import traceback

SERVICE_NAME = "quor-mounting-shdir-service"
SOCKET_PATH = "/tmp/quor-sharing-dir-mounting.socket"
SHM_PATH = "/dev/shm/" + SERVICE_NAME
DAV_DIR = "/tmp/dav"

USERS = {
    # name: (uid, gid, home)
    "alice": (2001, 2001, "/tmp/home/alice"),
    "bob": (2002, 2002, "/tmp/home/bob"),
    "ghost": (2003, 2003, "/tmp/home/ghost-missing"),
    "mallory": (2004, 2004, "/tmp/home/mallory"),
}


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def sh(*args, **kw):
    return subprocess.run(list(args), check=True, **kw)


def wait_until(pred, timeout=10.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(0.02)
    raise Failure("timed out waiting for " + what)


def wait_for_port(port, timeout, what):
    """Waits until something accepts connections on 127.0.0.1:port."""
    def up():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        except OSError:
            return False
    wait_until(up, timeout, what)


def live_processes(names):
    """(pid, name) of the running processes called one of `names`. An ended
    process whose parent is gone stays a zombie of the namespace's first
    process (the scenario itself), which does not reap it: that one has
    ended and does not count."""
    out = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        if name in names and stat[stat.rindex(")") + 2] != "Z":
            out.append((int(pid), name))
    return out


def private_dev():
    """Replace /dev by a tmpfs holding only the nodes the programs need, so
    the syslog listener at /dev/log leaves nothing in the real /dev."""
    os.makedirs("/tmp/.realdev", exist_ok=True)
    sh("mount", "--rbind", "/dev", "/tmp/.realdev")
    sh("mount", "-t", "tmpfs", "-o", "mode=755", "none", "/dev")
    for node in ("null", "zero", "urandom", "random", "fuse", "tty", "full"):
        if os.path.exists("/tmp/.realdev/" + node):
            open("/dev/" + node, "w").close()
            sh("mount", "--bind", "/tmp/.realdev/" + node, "/dev/" + node)
    for d in ("pts", "shm"):
        os.makedirs("/dev/" + d, exist_ok=True)
        sh("mount", "--rbind", "/tmp/.realdev/" + d, "/dev/" + d)
    os.symlink("/proc/self/fd", "/dev/fd")
    for i, n in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % i, "/dev/" + n)


class Syslog:
    """Collects the datagrams programs send to /dev/log."""

    LINE = re.compile(r"^<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[:]+)\[(\d+)\]: (.*)$", re.S)

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        self.lines = []  # (severity, program, pid, text)
        self.lock = threading.Lock()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            data = self.sock.recv(65536)
            m = self.LINE.match(data.decode("utf-8", "replace"))
            if not m:
                continue
            with self.lock:
                self.lines.append((int(m.group(1)) & 7, m.group(2), int(m.group(3)), m.group(4)))

    def service_lines(self, pid=None):
        with self.lock:
            return [(sev, text) for sev, prog, p, text in self.lines
                    if prog == SERVICE_NAME and (pid is None or p == pid)]

    def mark(self):
        with self.lock:
            return len(self.lines)

    def since(self, mark):
        with self.lock:
            return [(sev, text) for sev, prog, _, text in self.lines[mark:] if prog == SERVICE_NAME]

    def has(self, text, sev=None, mark=0):
        return any(t == text and (sev is None or s == sev) for s, t in self.since(mark))

    def wait(self, text, sev=None, mark=0, timeout=10.0):
        wait_until(lambda: self.has(text, sev, mark), timeout, repr(text))

    def wait_prefix(self, prefix, mark=0, timeout=10.0):
        return wait_until(lambda: next((t for s, t in self.since(mark) if t.startswith(prefix)), None),
                          timeout, repr(prefix))

    def dump(self):
        return "\n".join("%d %s" % (s, t.rstrip("\n")) for s, t in self.service_lines())


def private_users():
    os.makedirs("/tmp/etc", exist_ok=True)
    with open("/etc/passwd") as f:
        passwd = f.read()
    with open("/etc/group") as f:
        group = f.read()
    for name, (uid, gid, home) in USERS.items():
        passwd += "%s:x:%d:%d::%s:/bin/sh\n" % (name, uid, gid, home)
        group += "%s:x:%d:\n" % (name, gid)
    for path, text in (("/tmp/etc/passwd", passwd), ("/tmp/etc/group", group)):
        with open(path, "w") as f:
            f.write(text)
        sh("mount", "--bind", path, "/etc/" + os.path.basename(path))
    for name, (uid, gid, home) in USERS.items():
        if name == "ghost":
            continue
        os.makedirs(home, exist_ok=True)
        os.chown(home, uid, gid)
        os.chmod(home, 0o755)


def unescape_mount_field(field):
    return re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), field)


def mounts():
    """Mount points of the WebDAV endpoint, as /proc/mounts shows them."""
    out = []
    with open("/proc/mounts") as f:
        for line in f:
            parts = line.split(" ")
            if "9843" in parts[0]:
                out.append(unescape_mount_field(parts[1]))
    return out


class Bed:
    def __init__(self, args):
        self.args = args
        self.procs = []
        private_dev()
        self.log = Syslog()
        private_users()
        os.makedirs("/var/cache/davfs2", exist_ok=True)
        sh("mount", "-t", "tmpfs", "none", "/var/cache/davfs2")
        self.service = None

    def start_webdav(self):
        os.makedirs(DAV_DIR, exist_ok=True)
        p = subprocess.Popen(["rclone", "serve", "webdav", DAV_DIR, "--addr", "127.0.0.1:9843"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        wait_for_port(9843, 15, "WebDAV endpoint")

    def write_config(self, text, path="/tmp/mount.yaml"):
        with open(path, "w") as f:
            f.write(text)
        return path

    def start_service(self, *argv, wait_ready=True):
        mark = self.log.mark()
        p = subprocess.Popen([self.args.service, *argv], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd="/tmp")
        self.procs.append(p)
        self.service = p
        if wait_ready:
            wait_until(lambda: os.path.exists(SOCKET_PATH) and os.path.exists(SHM_PATH), 10,
                       "service socket and shared memory")
        return p, mark

    def stop_service(self, timeout=10):
        p = self.service
        p.terminate()
        try:
            return p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            raise Failure("service did not exit after SIGTERM")

    def user_agent(self, *argv, check_rc=True):
        r = subprocess.run([self.args.user_agent, *argv], capture_output=True, text=True, timeout=20)
        if check_rc and r.returncode != 0:
            raise Failure("user-agent failed: " + r.stderr)
        return r

    def host(self):
        return Host(self.args.host_sim, self)

    def cleanup(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.kill()
                p.wait()


class Host:
    """host-sim-mount driven line by line."""

    def __init__(self, path, bed):
        self.p = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        bed.procs.append(self.p)
        line = self.p.stdout.readline()
        check(line == "connected\n", "host-sim-mount did not connect: %r" % line)

    def send(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        ack = self.p.stdout.readline()
        check(ack.startswith("sent "), "host-sim-mount: %r" % ack)

    def close(self):
        self.p.stdin.write("quit\n")
        self.p.stdin.flush()
        self.p.wait(10)


def run_scenario(bed, name, body):
    """Runs one scenario on a bed and returns the exit status: "PASSED name",
    or "FAILED" with the service's log and the mount table; the bed is cleaned
    up either way."""
    try:
        body()
    except Exception as e:  # report and fail
        traceback.print_exc()
        print("FAILED: %s" % e, file=sys.stderr)
        print("service log:\n" + bed.log.dump()[-20000:], file=sys.stderr)
        print("mounts: %r" % mounts(), file=sys.stderr)
        return 1
    finally:
        bed.cleanup()
    print("PASSED %s" % name)
    return 0


def main(scenarios, extra_options=()):
    """Command line of every mount scenario script: the scenario's name, the
    three binaries, and any options of the script's own; runs it on a Bed."""
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario", choices=sorted(scenarios))
    ap.add_argument("--service", required=True)
    ap.add_argument("--user-agent", required=True)
    ap.add_argument("--host-sim", required=True)
    for option in extra_options:
        ap.add_argument(option)
    args = ap.parse_args()
    for k in ("service", "user_agent", "host_sim"):
        setattr(args, k, os.path.abspath(getattr(args, k)))
    bed = Bed(args)
    return run_scenario(bed, args.scenario, lambda: scenarios[args.scenario](bed))
