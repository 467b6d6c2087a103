#!/bin/sh
# The host agent is gone when a job is printed. CUPS must keep the job; when
# the host (and, if it went with it, the daemon) is back, the job arrives
# byte for byte. Whether the daemon ends with its host or stays up and
# answers the backend with an error line, the scenario holds.
#   ack_host_gone.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
here_print=$(cd "$(dirname "$0")" && pwd)
. "$here_print/lib.sh"
. "$here_print/../faults/common.sh"
start_mirrored shm

kill -TERM "$HOSTSIM_PID"
wait_for "! kill -0 $HOSTSIM_PID" 10 || fail "host-sim survived"
exec 9>&-
sleep 1
random_file "$WORK/job.bin" $((2 * 1024 * 1024 + 3))
print_file "$WORK/job.bin" office
sleep 5
if lpstat -W completed -o 2>/dev/null | grep -q office; then
  fail "CUPS counts the job as completed while no host was there"
fi
lpstat -o office | grep -q office || fail "CUPS no longer holds the job: $(lpstat -W all -o)"

mv "$WORK/hostsim.out" "$WORK/hostsim.before"
start_hostsim shm
daemon_alive || restart_daemon
wait_connected 1
expect_received "$WORK/job.bin" 90
wait_for "lpstat -W completed -o | grep -q office" 30 || fail "the job did not complete: $(lpstat -W all -o)"
echo "PASS: a job printed while the host was gone is kept and delivered later"
