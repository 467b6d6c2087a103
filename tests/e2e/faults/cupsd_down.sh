#!/bin/sh
# The CUPS scheduler is down when the host's printer list arrives: the daemon
# logs the failed requests and stays up; once the scheduler is back, the next
# list mirrors correctly and a job to a new queue reaches the host.
#   cupsd_down.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
here_faults=$(cd "$(dirname "$0")" && pwd)
. "$here_faults/../print/lib.sh"
. "$here_faults/common.sh"
setup
start_hostsim shm
start_daemon
mirror_printers

croot=/run/cups-e2e
cpid=$(cat "$croot/cupsd.pid")
kill -TERM "$cpid"
wait_for "! kill -0 $cpid" 20 || fail "cupsd did not stop"
rm -f /run/cups/cups.sock
lpstat -r 2>/dev/null | grep -q "^scheduler is running" && fail "the scheduler still answers"

# The host now reports office and garage; lab is gone.
cat > "$WORK/printers.json" <<'JSON'
{"meta":{"platform":"e2e","print-file-format":"pdf"},
 "devices":[{"name":"office","device-id":"1","printer-info":"Office printer","isDefault":true},
            {"name":"garage","device-id":"3","printer-info":"Garage printer"}]}
JSON
before=$(log_lines)
hostsim_cmd discover
wait_for "log_since $before | grep -q '\[PrinterManager\]:\[runRequest\] error: '" 30 ||
  fail "no error logged for the requests the scheduler could not take"
sleep 1
daemon_alive || fail "the daemon died while the scheduler was down"
grep -qi 'error' "$WORK/hostsim.err" && fail "host-sim saw errors: $(cat "$WORK/hostsim.err")"

# The scheduler comes back with the same configuration and state.
cupsd -f -c "$croot/conf/cupsd.conf" -s "$croot/conf/cups-files.conf" \
  </dev/null >>"$croot/log/cupsd.out" 2>&1 &
echo $! > "$croot/cupsd.pid"
wait_for "lpstat -r | grep -q '^scheduler is running'" 20 || fail "cupsd did not come back"
lpstat -v 2>/dev/null | grep -q 'garage' && fail "garage exists before any list reached the new scheduler"

hostsim_cmd discover
wait_for "lpstat -v 2>/dev/null | grep -q 'garage' && lpstat -v | grep -q 'office' && ! lpstat -v | grep -q 'lab'" 30 ||
  fail "the list after the scheduler's return was not mirrored: $(lpstat -v 2>&1)"
lpstat -v | grep 'garage' | grep -q 'zefa-prt:' || fail "garage does not use the zefa-prt backend: $(lpstat -v)"

random_file "$WORK/garage.bin" $((512 * 1024 + 9))
print_file "$WORK/garage.bin" garage
expect_received "$WORK/garage.bin" 60
daemon_alive || fail "the daemon is gone"
kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "no clean stop"
no_sanitizer_reports
echo "PASS: cupsd down when the printer list arrives"
