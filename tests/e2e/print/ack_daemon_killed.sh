#!/bin/sh
# The daemon dies at the moment a job is announced: the backend's line is in
# the daemon's socket, unanswered, when the daemon is killed. CUPS must keep
# the job (never "completed" with nothing at the host), and once a daemon is
# back the job reaches the host byte for byte.
#   ack_daemon_killed.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
here_print=$(cd "$(dirname "$0")" && pwd)
. "$here_print/lib.sh"
. "$here_print/../faults/common.sh"
start_mirrored shm

# Frozen, the daemon takes the backend's connection into its backlog but
# never reads the line or answers it.
kill -STOP "$DAEMON_PID"
random_file "$WORK/job.bin" $((3 * 1024 * 1024 + 9))
print_file "$WORK/job.bin" office
wait_for "ls /var/spool/orvanta-print/job-* > /dev/null 2>&1" 30 || fail "the backend never spooled the job"
sleep 1  # the line follows the spooling at once
kill -9 "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 10 || fail "the daemon survived kill -9"

sleep 4
if lpstat -W completed -o 2>/dev/null | grep -q office; then
  fail "CUPS counts the job as completed although the host never heard of it"
fi
lpstat -o office | grep -q office || fail "CUPS no longer holds the job: $(lpstat -W all -o)"
grep -q '^announce ' "$WORK/hostsim.out" && fail "the host was told of the job by a dead daemon"

restart_daemon
wait_connected 2
expect_received "$WORK/job.bin" 60
wait_for "lpstat -W completed -o | grep -q office" 30 || fail "the job did not complete: $(lpstat -W all -o)"
echo "PASS: a job announced to a dying daemon is kept and delivered later"
