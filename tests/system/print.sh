#!/bin/sh
# A print job under systemd: the installed daemon mirrors host-sim's printers
# into the container's own cupsd, and a PDF printed with lp reaches host-sim
# byte for byte through the installed zefa-prt backend.
set -eu
. "$(dirname "$0")/lib.sh"
ct_enter "$@"
ct_boot
ct_install "$ORV_DEB"

cat > "$CT_DIR/printers.json" <<'JSON'
{"meta":{"platform":"system-test","print-file-format":""},
 "devices":[{"name":"office","device-id":"1","printer-info":"Office printer","isDefault":true},
            {"name":"lab","device-id":"2","printer-make-and-model":"Lab Laser"}]}
JSON
ct_hostsim_start "$CT_DIR/printers.json"
ct_hostsim_connected 1 30 || fail "the print daemon did not connect to host-sim"
ct_hostsim_cmd discover
wait_for "ct lpstat -v | grep -q 'office' && ct lpstat -v | grep -q 'lab'" 30 ||
  fail "the host's printers did not appear in cupsd: $(ct lpstat -v 2>&1)"
ct lpstat -v | grep -q 'zefa-prt:' || fail "queues without the zefa-prt backend: $(ct lpstat -v)"
ct_log "queues: $(ct lpstat -v | tr '\n' ';')"

# A two-page PDF with some random bytes in a stream, so each run differs.
pdf=$root$CT_WORK/job.pdf
python3 - "$pdf" <<'PY'
import os, sys
noise = os.urandom(2048).hex()
objs = [b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 5 0 R >>"]
stream = ("%% %s\n" % noise).encode()
objs.append(b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"endstream")
out = bytearray(b"%PDF-1.4\n")
offsets = []
for i, o in enumerate(objs, 1):
    offsets.append(len(out))
    out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
for off in offsets:
    out += b"%010d 00000 n \n" % off
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(sys.argv[1], "wb").write(out)
PY
ct lp -d office -o raw "$CT_WORK/job.pdf" > /dev/null || fail "lp failed"
ct_received "$pdf" 60 || fail "no byte-identical copy of the PDF reached host-sim: $(tail -5 "$root$CT_WORK/hostsim.out")"
wait_for "ct lpstat -W completed -o office | grep -q office" 30 || fail "CUPS did not complete the job"
pass "PDF printed through the installed daemon arrived byte for byte"
