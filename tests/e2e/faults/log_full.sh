#!/bin/sh
# The disk under /var/log/orvanta is full: the daemon goes on mirroring
# printers and serving print jobs without its log; once space is freed, its
# log lines appear again.
#   log_full.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
here_faults=$(cd "$(dirname "$0")" && pwd)
. "$here_faults/../print/lib.sh"
. "$here_faults/common.sh"
setup
mount -t tmpfs -o size=64k none /var/log/orvanta || fail "cannot mount a small tmpfs on /var/log/orvanta"
start_hostsim shm
start_daemon
wait_for "grep -q '^connected' '$WORK/hostsim.out'" 10 || fail "the daemon did not connect"

# Fill what is left; dd stops at ENOSPC.
dd if=/dev/zero of=/var/log/orvanta/filler bs=4096 2>/dev/null || true
df_free=$(df -k --output=avail /var/log/orvanta | tail -n 1 | tr -d ' ')
[ "$df_free" -eq 0 ] || fail "the log disk still has ${df_free} KiB free"
size_full=$(stat -c %s "$LOG")

mirror_printers
random_file "$WORK/full.bin" $((3 * 1024 * 1024 + 11))
print_file "$WORK/full.bin" office
expect_received "$WORK/full.bin" 60
daemon_alive || fail "the daemon died on a full log disk"
echo "log size while full: $size_full -> $(stat -c %s "$LOG") bytes"

# Space again: new lines must reach the log, not only a buffer.
rm -f /var/log/orvanta/filler
closed=$(grep -c 'Overall time was' "$LOG" || true)
size_freed=$(stat -c %s "$LOG")
random_file "$WORK/free.bin" $((1024 * 1024 + 5))
print_file "$WORK/free.bin" lab
expect_received "$WORK/free.bin" 60
wait_for "[ \$(grep -c 'Overall time was' '$LOG') -gt $closed ]" 10 ||
  fail "the end of the job after space was freed is not in the log"
tail -n 1 "$LOG" | grep -q '^\[20[0-9-]* [0-9:.]* [+-][0-9]*\] \[PID:[0-9]*\] \[[A-Z]*\] ' ||
  fail "the log does not end in a whole line: $(tail -c 200 "$LOG")"
# A line cut short by the full disk must not swallow the next one: the
# logging library ends the fragment before it writes the next line.
torn=$(grep -c '.\[20[0-9-]* [0-9:.]* [+-][0-9]*\] \[PID:[0-9]*\] ' "$LOG" || true)
echo "log lines holding a cut line and the next: $torn"
[ "$torn" -eq 0 ] || fail "$torn log lines hold a cut line and the next: $(grep '.\[20[0-9-]* [0-9:.]* [+-][0-9]*\] \[PID:' "$LOG" | head -n 2)"
echo "log size after space was freed: $size_freed -> $(stat -c %s "$LOG") bytes"
daemon_alive || fail "the daemon is gone"
before=$(log_lines)
kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "no stop on SIGTERM"
log_since "$before" | grep -q 'Stopped Orvanta Cups Daemon' || fail "no stop line after space was freed"
no_sanitizer_reports
echo "PASS: full log disk"
