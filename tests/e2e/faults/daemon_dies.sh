#!/bin/sh
# The print daemon dies (kill -9) while the host agent pulls a large file over
# shared memory. The host agent must see the client go; a new daemon must
# connect to the same shared-memory object (no lock left held by the dead
# process) and serve a new job whole.
#   daemon_dies.sh <MiB> <daemon> <host-sim> <zefa-prt>
# FAULTS_SIZE_MIB in the environment overrides the size.
set -eu
SIZE_MIB=${FAULTS_SIZE_MIB:-$1} DAEMON=$2 HOSTSIM=$3 BACKEND=$4
here_faults=$(cd "$(dirname "$0")" && pwd)
. "$here_faults/../print/lib.sh"
. "$here_faults/common.sh"
start_big_transfer

kill -9 "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "the daemon survived kill -9"
wait_for "grep -q '^disconnected' '$WORK/hostsim.out'" 20 || fail "host-sim did not notice the daemon's death"
wait_for "grep -q 'transfer of $id cut at' '$WORK/hostsim.err'" 5 ||
  fail "host-sim did not report the cut transfer: $(cat "$WORK/hostsim.err")"
kill -0 "$HOSTSIM_PID" || fail "host-sim died with the daemon"

# The dead daemon's pid file and port are left behind; a new one takes over.
restart_daemon
wait_for "[ \$(grep -c '^connected' '$WORK/hostsim.out') -ge 2 ]" 20 ||
  fail "the new daemon did not connect to the shared memory"
errors_before=$(grep -c 'error' "$WORK/hostsim.err" || true)
random_file "$WORK/next.bin" $((8 * 1024 * 1024 + 3))
print_file "$WORK/next.bin" lab
expect_received "$WORK/next.bin" 90
[ "$(grep -c 'error' "$WORK/hostsim.err" || true)" = "$errors_before" ] ||
  fail "host-sim saw new errors: $(cat "$WORK/hostsim.err")"

kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "the new daemon did not stop on SIGTERM"
no_sanitizer_reports
grep "^file " "$WORK/hostsim.out"
echo "PASS: daemon dies mid-transfer (${SIZE_MIB} MiB)"
