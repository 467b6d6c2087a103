#!/bin/sh
# The host agent dies (kill -9) while it pulls a large print file over shared
# memory. The daemon must notice, log the disconnection and stop cleanly; a
# new host agent and a new daemon must then serve the same spooled file again,
# byte for byte, when it is announced again the way the backend does.
#   host_dies.sh <MiB> <daemon> <host-sim> <zefa-prt>
# FAULTS_SIZE_MIB in the environment overrides the size.
set -eu
SIZE_MIB=${FAULTS_SIZE_MIB:-$1} DAEMON=$2 HOSTSIM=$3 BACKEND=$4
here_faults=$(cd "$(dirname "$0")" && pwd)
. "$here_faults/../print/lib.sh"
. "$here_faults/common.sh"
start_big_transfer

before=$(log_lines)
kill -9 "$HOSTSIM_PID"
wait "$HOSTSIM_PID" 2>/dev/null || true
exec 9>&-
wait_for "! kill -0 $DAEMON_PID" 20 || fail "the daemon outlived its host by 20 s"
log_since "$before" | grep -q '\[ShmConnection\]:\[cli_disconnected\]: .* disconnected' ||
  fail "the daemon did not log the disconnection"
log_since "$before" | grep -q 'Stopped Orvanta Cups Daemon' || fail "the daemon did not stop cleanly"
log_since "$before" | grep -q 'got signal' && fail "the stop came from a signal, not from the lost host"
no_sanitizer_reports

# The job is still spooled where the backend put it.
spooled=$(ls /var/spool/orvanta-print/job-* 2>/dev/null | head -n 1)
[ -n "$spooled" ] || fail "the backend's spool file is gone"
[ "$(sha256sum < "$spooled")" = "$(sha256sum < "$WORK/big.bin")" ] || fail "the spool file differs from the job"

# The killed host leaves its object behind, marked by the daemon as the
# object of a dead server; a server cannot be created over it. A new daemon
# (the service manager restarts it) meets it first, removes it, and waits for
# a new host agent, which can then create the object afresh.
[ -e /dev/shm/orvanta.Printer.0 ] && echo "the dead host's shared-memory object is left behind"
restart_daemon
wait_for "[ ! -e /dev/shm/orvanta.Printer.0 ]" 20 || fail "the new daemon did not clear the dead host's object"
start_hostsim shm
wait_for "grep -q '^connected' '$WORK/hostsim.out'" 20 || fail "the new daemon did not connect to the new host"
announce_path "$spooled"
expect_received "$WORK/big.bin" 120
again=$(last_announced_id)
[ "$again" != "$id" ] || fail "the file was announced again under its old identifier"
grep -q 'error' "$WORK/hostsim.err" && fail "the second host saw errors: $(cat "$WORK/hostsim.err")"

kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "the second daemon did not stop on SIGTERM"
no_sanitizer_reports
grep "^file " "$WORK/hostsim.out"
echo "PASS: host dies mid-transfer (${SIZE_MIB} MiB)"
