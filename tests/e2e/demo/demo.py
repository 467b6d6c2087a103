#!/usr/bin/env python3
"""The system's main job, for real, inside private namespaces (run through
tests/e2e/isolate): the host's printers appear in a real cupsd, a document
printed with lp reaches the host byte for byte, and two folders the host
shares are mounted into the logged-in user's home with davfs2 and unmounted
again. Narrates each step; exits non-zero if any step does not hold.

    tests/e2e/isolate python3 demo.py --daemon BIN --backend BIN --host-sim BIN \\
        --service BIN --user-agent BIN --host-sim-mount BIN
"""

import argparse
import hashlib
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mount"))
from mountenv import Bed, DAV_DIR, Failure, USERS, check, mounts, wait_until  # noqa: E402

WORK = "/tmp/demo"
DAEMON_LOG = "/var/log/orvanta/cups_daemon.log"
PRINTERS = """{"meta": {"platform": "demo", "print-file-format": "pdf"},
 "devices": [
  {"name": "Office Laser", "printer-info": "Office laser, 2nd floor", "printer-location": "Room 204",
   "printer-make-and-model": "HP LaserJet", "isDefault": true},
  {"name": "Photo", "printer-info": "Photo printer", "printer-location": "Studio"},
  {"name": "Home Inkjet", "printer-info": "The remote user's own printer"}]}
"""


def step(n, text):
    print("\n[%d] %s" % (n, text), flush=True)


def show(text):
    for line in text.rstrip("\n").splitlines():
        print("    " + line, flush=True)


def make_document(path, size):
    """A valid PDF of about `size` bytes: one page of text plus an image-sized
    binary stream, the kind of file a real print job carries."""
    text = b"BT /F1 24 Tf 72 720 Td (Printed in the guest, received by the host) Tj ET"
    blob = os.urandom(size)
    objs = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d >>\nstream\n%s\nendstream" % (len(text), text),
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Length %d >>\nstream\n%s\nendstream" % (len(blob), blob),
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(objs, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (i, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for off in offsets:
        out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    with open(path, "wb") as f:
        f.write(out)


def run(*argv, **kw):
    return subprocess.run(list(argv), check=True, capture_output=True, text=True, **kw).stdout


def log_has(text):
    try:
        with open(DAEMON_LOG) as f:
            return text in f.read()
    except OSError:
        return False


class PrintSide:
    def __init__(self, args):
        self.args = args
        os.makedirs(WORK + "/out", exist_ok=True)
        os.makedirs(WORK + "/bin", exist_ok=True)
        # The desktop agent's unit is not installed in the demonstration: the
        # daemon need not wait for the host's shared-memory object to appear.
        with open(WORK + "/bin/systemctl", "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(WORK + "/bin/systemctl", 0o755)
        os.environ["PATH"] = WORK + "/bin:" + os.environ["PATH"]
        os.environ["CUPS_SERVER"] = "/run/cups/cups.sock"
        self.hostsim = None
        self.received = []

    def start_cups(self):
        subprocess.run([os.path.join(HERE, "..", "lib", "cupsd-start"), "zefa-prt=" + self.args.backend],
                       check=True)

    def start_host(self):
        with open(WORK + "/printers.json", "w") as f:
            f.write(PRINTERS)
        self.hostsim = subprocess.Popen(
            [self.args.host_sim, "--transport", "shm", "--printers", WORK + "/printers.json",
             "--out", WORK + "/out", "--chunk", "1048576"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
        return self.host_line("listening", 10)

    def host_line(self, prefix, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            line = self.hostsim.stdout.readline()
            if not line:
                break
            if line.startswith(prefix):
                return line.strip()
        raise Failure("host-sim never printed %r" % prefix)

    def start_daemon(self):
        subprocess.run([self.args.daemon, "start"], check=True)
        wait_until(lambda: log_has("socket opened"), 20, "the daemon's backend socket")
        return self.host_line("connected", 20)

    def discover(self):
        self.hostsim.stdin.write("discover\n")
        self.hostsim.stdin.flush()
        def queues():
            return subprocess.run(["lpstat", "-v"], capture_output=True, text=True).stdout
        wait_until(lambda: queues().count("zefa-prt:") == 3, 30, "three mirrored queues")
        return queues()

    def stop(self):
        if os.path.exists("/var/run/cups_zefa_service.pid"):
            subprocess.run([self.args.daemon, "stop"], check=False)
            wait_until(lambda: log_has("Stopped Orvanta Cups Daemon"), 20, "the daemon's clean stop")
        if self.hostsim and self.hostsim.poll() is None:
            self.hostsim.stdin.write("quit\n")
            self.hostsim.stdin.flush()
            self.hostsim.wait(10)


def main():
    ap = argparse.ArgumentParser()
    for opt in ("daemon", "backend", "host-sim", "service", "user-agent", "host-sim-mount"):
        ap.add_argument("--" + opt, required=True)
    args = ap.parse_args()
    for key, value in vars(args).items():
        setattr(args, key, os.path.abspath(value))
    # mountenv's Bed expects these attribute names.
    args.host_sim_print, args.host_sim = args.host_sim, args.host_sim_mount
    started = time.monotonic()
    bed = Bed(args)
    printing = PrintSide(argparse.Namespace(daemon=args.daemon, backend=args.backend,
                                            host_sim=args.host_sim_print))
    ok = False
    try:
        print("Orvanta guest agent: demonstration in private namespaces "
              "(nothing on this machine is touched)", flush=True)

        step(1, "Start the guest's print system (a private cupsd with our zefa-prt backend), "
                "the host stand-in on the shared-memory channel, and cups_zefa_service.")
        printing.start_cups()
        show(printing.start_host())
        show("host-sim: " + printing.start_daemon())
        show("daemon log: " + DAEMON_LOG)

        step(2, "The host reports three printers; the daemon mirrors them into CUPS (lpstat -v):")
        show(printing.discover())

        step(3, "A user prints a 3 MB PDF to \"Office Laser\" with lp; the backend hands it "
                "to the daemon, which serves it to the host chunk by chunk.")
        doc = WORK + "/report.pdf"
        make_document(doc, 3 * 1024 * 1024)
        with open(doc, "rb") as f:
            want = hashlib.sha256(f.read()).hexdigest()
        show(run("lp", "-d", "Office+Laser", "-t", "quarterly-report.pdf", "-o", "raw", doc))
        announce = printing.host_line("announce ")
        show("host received the announcement: " + announce[len("announce "):][:160] + " ...")
        got = printing.host_line("file ")
        fields = dict(kv.split("=", 1) for kv in got.split()[1:] if "=" in kv)
        show("host received: %s bytes, sha256 %s, %s MB/s" % (fields["size"], fields["sha256"], fields["MB/s"]))
        show("original:      %d bytes, sha256 %s" % (os.path.getsize(doc), want))
        check(fields["sha256"] == want and int(fields["size"]) == os.path.getsize(doc),
              "the host's copy differs from the original")
        show("identical: yes")

        step(4, "The host serves its shared folders over WebDAV (rclone on 127.0.0.1:9843); "
                "alice logs in to the guest desktop (user-agent reports her session).")
        os.makedirs(DAV_DIR, exist_ok=True)
        with open(os.path.join(DAV_DIR, "todo.txt"), "w") as f:
            f.write("1. show the demo\n")
        bed.start_webdav()
        config = bed.write_config("debug: true\nunmount_task_timeout: 2\n")
        bed.start_service("-c", config)
        mark = bed.log.mark()
        bed.user_agent("--user", "alice", "--pid", str(os.getpid()))
        bed.log.wait("last user info updated\n", mark=mark)
        show("quor-mounting-shdir-service knows alice (home %s)" % USERS["alice"][2])

        step(5, "The host shares two folders, Documents and Pictures; both appear mounted in "
                "alice's home (findmnt):")
        host = bed.host()
        home = USERS["alice"][2]
        # One request at a time: the channel delivers what it holds as one
        # block, and a request is a block of its own.
        for n, folder in enumerate(("Documents", "Pictures"), 1):
            host.send("mount " + folder)
            wait_until(lambda: len(mounts()) == n, 30, "the mount of " + folder)
        show(run("findmnt", "-o", "TARGET,SOURCE,FSTYPE", "-t", "fuse,davfs,fuse.davfs"))
        path = os.path.join(home, "davfs", "Documents", "todo.txt")
        with open(path) as f:
            content = f.read()
        show("cat %s: %s" % (path, content.strip()))
        check(content == "1. show the demo\n", "file read through the mount")
        show("ls %s: %s" % (os.path.join(home, "davfs", "Pictures"),
                            " ".join(sorted(os.listdir(os.path.join(home, "davfs", "Pictures"))))))

        step(6, "The host asks to unmount everything:")
        host.send("unmount-all")
        wait_until(lambda: mounts() == [], 30, "all mounts gone")
        # The service removes each mount point right after its unmount.
        wait_until(lambda: not os.listdir(os.path.join(home, "davfs")), 10, "the mount points removed")
        show("mounts of the WebDAV endpoint left: %d; %s/davfs holds: %s" % (
            len(mounts()), home, os.listdir(os.path.join(home, "davfs")) or "nothing"))
        host.close()

        step(7, "Stop everything.")
        printing.stop()
        check(bed.stop_service() == 0, "the mount service's exit status")
        show("cups_zefa_service stopped (\"Stopped Orvanta Cups Daemon\" logged); "
             "quor-mounting-shdir-service exited 0")
        ok = True
        print("\nSummary: 3 printers mirrored into CUPS; a %d-byte PDF printed in the guest reached the "
              "host byte for byte (sha256 %s...); 2 shared folders mounted into alice's home, read "
              "through, and unmounted. %.1f s." % (os.path.getsize(doc), want[:16], time.monotonic() - started),
              flush=True)
    except (Failure, OSError, subprocess.SubprocessError) as e:
        print("\nDEMO FAILED: %s" % e, flush=True)
        try:
            with open(DAEMON_LOG) as f:
                print("---- daemon log (tail) ----\n" + "".join(f.readlines()[-20:]))
        except OSError:
            pass
        print("---- mount service log ----\n" + bed.log.dump())
    finally:
        try:
            printing.stop()
        except Exception:  # the namespace ends every process anyway
            pass
        # Mounts left by a failure go with the namespace; umount.davfs would
        # wait for its daemon, which nobody reaps here.
        bed.cleanup()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
