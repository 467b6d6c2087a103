#!/bin/sh
# Squatting the print channel: an unprivileged local user creates the
# shared-memory object before the host agent does. The root daemon must refuse
# it (one log line saying why), never connect to it, and take the host's own
# object, created by root, as soon as it is there.
#   owner.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
. "$(dirname "$0")/lib.sh"

mkdir -p "$WORK/out"
private_dev
no_desktop_unit
printf '{"meta":{"platform":"e2e"},"devices":[]}\n' > "$WORK/printers.json"

# A local user that exists only in this namespace.
squatter_uid=4711
cp /etc/passwd "$WORK/passwd"
cp /etc/group "$WORK/group"
echo "czs-squatter:x:$squatter_uid:$squatter_uid::/tmp:/bin/sh" >> "$WORK/passwd"
echo "czs-squatter:x:$squatter_uid:" >> "$WORK/group"
mount --bind "$WORK/passwd" /etc/passwd
mount --bind "$WORK/group" /etc/group
chmod 0777 "$WORK" "$WORK/out"
chmod 0644 "$WORK/printers.json"

# The squatter's host-sim: the same program, run as that user.
rm -f "$WORK/ctl"
mkfifo -m 0600 "$WORK/ctl"
setpriv --reuid "$squatter_uid" --regid "$squatter_uid" --clear-groups \
  "$HOSTSIM" --transport shm --printers "$WORK/printers.json" --out "$WORK/out" \
  < "$WORK/ctl" > "$WORK/hostsim.out" 2> "$WORK/hostsim.err" &
HOSTSIM_PID=$!
exec 9> "$WORK/ctl"
wait_for "grep -q '^listening' '$WORK/hostsim.out'" 10 || fail "the squatter's host-sim did not start"
[ "$(stat -c %u /dev/shm/orvanta.Printer.0)" = "$squatter_uid" ] || fail "the object is not the squatter's"

start_daemon
wait_for "grep -q 'refusing .orvanta.Printer.0.: owner uid $squatter_uid' '$LOG'" 10 ||
  fail "the squatter's object was not refused with a reason"
grep -q "logind does not run here" "$LOG" || fail "the fallback rule was not announced"
sleep 3  # a few of the library's retries
grep -q '^connected' "$WORK/hostsim.out" && fail "the daemon connected to the squatter's object"
grep -q '\[ShmConnection\]:\[cli_connected\]' "$LOG" && fail "the daemon logged a connection to the squatter"
[ "$(grep -c 'refusing .orvanta.Printer.0.' "$LOG")" -eq 1 ] || fail "the refusal was logged on every retry"
daemon_alive || fail "the daemon gave up"

# The squatter leaves; the host agent (root) creates its object: taken.
kill -TERM "$HOSTSIM_PID"
wait "$HOSTSIM_PID" 2>/dev/null || true
exec 9>&-
rm -f /dev/shm/orvanta.Printer.0
start_hostsim shm
[ "$(stat -c %u /dev/shm/orvanta.Printer.0)" = 0 ] || fail "the host's object is not root's"
wait_connected
grep -q '\[ShmConnection\]:\[cli_connected\]: .* connected' "$LOG" || fail "no connected line for root's object"

kill -TERM "$DAEMON_PID"
wait_for "! kill -0 $DAEMON_PID" 5 || fail "the daemon did not stop"
echo "PASS: a squatted channel is refused, the host's own is used"
