#!/bin/sh
# "restart", "stop", a second "start", SIGTERM and the loss of the host
# against running daemons.
#   lifecycle.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
. "$(dirname "$0")/lib.sh"
setup
start_hostsim shm
start_daemon
wait_connected
first=$DAEMON_PID
daemon_alive || fail "first daemon not running"

# restart: the old daemon stops cleanly, a new one takes over both transports.
"$DAEMON" restart || fail "restart returned $?"
wait_for "! kill -0 $first" 10 || fail "restart did not stop the first daemon"
wait_for "[ -s '$PIDFILE' ] && [ \"\$(cat '$PIDFILE')\" != '$first' ]" 10 || fail "restart wrote no new pid"
DAEMON_PID=$(cat "$PIDFILE")
wait_for "[ \$(grep -c 'socket opened' '$LOG') -ge 2 ]" 15 || fail "the restarted daemon did not open its socket"
wait_for "[ \$(grep -c '^connected' '$WORK/hostsim.out') -ge 2 ]" 15 || fail "the restarted daemon did not reconnect"
daemon_alive || fail "the restarted daemon is not running"
grep -q 'got signal 15' "$LOG" || fail "the first daemon did not log the signal"

# stop: SIGTERM, the signal line, the stop line, the pid file gone.
second=$DAEMON_PID
"$DAEMON" stop || fail "stop returned $?"
wait_for "! kill -0 $second" 10 || fail "stop did not end the daemon"
[ ! -e "$PIDFILE" ] || fail "stop left the pid file"
[ "$(grep -c 'Stopped Orvanta Cups Daemon' "$LOG")" -ge 2 ] || fail "no clean stop line"
grep 'got signal 15' "$LOG" | tail -1 | grep -q "INFO" || fail "signal line not at info level"

# stop with nothing running.
"$DAEMON" stop || fail "stop without a daemon returned $?"
grep -q 'Daemon already stopped' "$LOG" || fail "no 'Daemon already stopped'"

# A second start while one runs: it cannot bind the port, signals itself
# through the pid file it overwrote, and the first keeps running.
start_daemon
third=$DAEMON_PID
"$DAEMON" start
wait_for "grep -q 'Socket already open' '$LOG'" 20 || fail "the second start did not fail on the socket"
wait_for "[ ! -e '$PIDFILE' ]" 10 || fail "the failed start left the pid file"
sleep 0.5
kill -0 "$third" || fail "the running daemon was stopped by the second start"

# The host goes away: the daemon logs the disconnection and ends cleanly.
kill -9 "$HOSTSIM_PID"
wait_for "! kill -0 $third" 15 || fail "the daemon outlived its host"
grep -q '\[ShmConnection\]:\[cli_disconnected\]: .* disconnected' "$LOG" || fail "no disconnected line"
tail -n 5 "$LOG" | grep -q 'Stopped Orvanta Cups Daemon' || fail "no clean stop after the host left"
echo "PASS: lifecycle"
