#!/bin/sh
# The daemon while no host channel is there: it waits on its event loop, says
# so once, stops within a second on SIGTERM and on "stop", takes the channel
# as soon as it appears, and the shared-memory library's own errors reach its
# log.
#   hostwait.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
. "$(dirname "$0")/lib.sh"

mkdir -p "$WORK/out"
private_dev
no_desktop_unit
printf '{"meta":{"platform":"e2e"},"devices":[]}\n' > "$WORK/printers.json"

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
count() { grep -c "$1" "$LOG" 2>/dev/null || true; }

# start_waiting: a daemon with neither the shared-memory object nor the port.
start_waiting() {
  : > "$LOG"
  start_daemon
  wait_for "grep -q 'waiting for the host channel' '$LOG'" 10 || fail "no line saying the daemon waits"
}

# expect_quick_stop <how>: the daemon ends within a second of being told,
# with the signal line and the clean stop line.
expect_quick_stop() {
  i=0
  while kill -0 "$DAEMON_PID" 2>/dev/null; do
    i=$((i + 1))
    [ "$i" -le 100 ] || fail "$1: the daemon still runs a second after being told to stop"
    sleep 0.01
  done
  grep -q '\[INFO\] got signal 15$' "$LOG" || fail "$1: no 'got signal 15' line"
  grep -q '\[INFO\] Stopped Orvanta Cups Daemon$' "$LOG" || fail "$1: no clean stop line"
}

# 1. SIGTERM while waiting, after a few quiet retries.
start_waiting
sleep 3.5
[ "$(count 'waiting for the host channel')" -eq 1 ] || fail "the wait was announced more than once"
[ "$(count "cannot find 'orvanta.Printer.0'")" -eq 1 ] || fail "every retry logged its attempt: $(count 'cannot find')"
[ "$(count 'opening serial port reader')" -eq 1 ] || fail "every retry logged its serial attempt"
daemon_alive || fail "the waiting daemon is gone"
# A job announced meanwhile is answered as not delivered, so the backend
# keeps it queued and tries again later.
mount -t tmpfs none /var/spool
mkdir -m 0700 /var/spool/orvanta-print
printf 'job while waiting' > /var/spool/orvanta-print/job-wait
answer=$(python3 - <<'PY'
import json, socket
s = socket.create_connection(("127.0.0.1", 4848), timeout=10)
s.sendall((json.dumps({"abspath": "/var/spool/orvanta-print/job-wait"}) + "\n").encode())
s.shutdown(socket.SHUT_WR)
got = b""
while True:
    b = s.recv(256)
    if not b:
        break
    got += b
print(got.decode().strip())
PY
)
case $answer in
  *'"status":"error"'*) ;;
  *) fail "a job announced while no host is there was answered with '$answer'" ;;
esac
grep -q 'no host connection, frame of [0-9]* bytes dropped' "$LOG" || fail "the dropped announcement was not logged"
kill -TERM "$DAEMON_PID"
expect_quick_stop SIGTERM

# 2. "stop" while waiting.
start_waiting
"$DAEMON" stop || fail "stop returned $?"
expect_quick_stop stop
[ ! -e "$PIDFILE" ] || fail "stop left the pid file"

# 3. The host appears during the wait: the channel is taken within one retry
# pause, announced with one line.
start_waiting
start_hostsim shm
wait_connected
grep -q 'host channel open over the shared memory' "$LOG" || fail "no line saying the channel appeared"
grep -q '\[ShmConnection\]:\[cli_connected\]: .* connected' "$LOG" || fail "no connected line"
kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 5 || fail "the connected daemon did not stop"
kill "$HOSTSIM_PID" 2>/dev/null || true
wait "$HOSTSIM_PID" 2>/dev/null || true
exec 9>&-
rm -f /dev/shm/orvanta.Printer.0

# 4. A channel the library cannot use: its own error line lands in our log,
# with the usual header.
start_hostsim shm --shm-size 1048576
: > "$LOG"
start_daemon
wait_for "grep -q 'error connecting' '$LOG'" 10 || fail "the channel's error did not reach the daemon's log"
grep -qE '^\[[0-9-]+ [0-9:.]+ [+-][0-9]{4}\] \[PID:[0-9]+\] \[ERROR\] \[shm_channel\]:\[shm_log\]: error connecting \(37198\): ' "$LOG" ||
  fail "the channel's error line lacks the header: $(grep 'error connecting' "$LOG")"
kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 5 || fail "the daemon did not stop"
no_reports=1
for f in "$WORK"/sanitizer*; do [ -f "$f" ] && no_reports=0; done
[ $no_reports = 1 ] || fail "sanitizer reports"
echo "PASS: waiting for the host"
