#!/bin/sh
# The whole journey over one transport (argument: shm or serial): the host's
# printers become CUPS queues, and files printed in the guest reach the host
# byte for byte, several at once included.
#   journey.sh <shm|serial> <daemon> <host-sim> <zefa-prt>
set -eu
transport=$1 DAEMON=$2 HOSTSIM=$3 BACKEND=$4
. "$(dirname "$0")/lib.sh"
setup

if [ "$transport" = serial ]; then
  # The serial run also exercises the protocol trace.
  start_hostsim serial --port /dev/virtio-ports/orvanta.Printer.0 --trace
  [ ! -e /dev/shm/orvanta.Printer.0 ] || fail "a shared-memory object exists in the serial scenario"
else
  start_hostsim shm
fi
start_daemon
if [ "$transport" = serial ]; then
  grep -q "cannot find 'orvanta.Printer.0'" "$LOG" || fail "shared memory was not tried first"
  grep -q '\[SerialPortConnection\]:\[open\]: port opened' "$LOG" || fail "the serial port did not open"
else
  wait_for "grep -q '^connected' '$WORK/hostsim.out'" 10 || fail "the daemon did not connect to the shared memory"
  grep -q '\[ShmConnection\]:\[cli_connected\]: .* connected' "$LOG" || fail "no connected line in the log"
fi

mirror_printers

# Something of the administrator's in the spool directory: never touched.
SPOOL=/var/spool/orvanta-print
mkdir -p -m 0700 "$SPOOL"
echo keep > "$SPOOL/admin-notes.txt"

# One multi-megabyte job, with its metadata in the announcement.
random_file "$WORK/big.bin" $((6 * 1024 * 1024 + 123))
print_file "$WORK/big.bin" office
expect_received "$WORK/big.bin" 90
grep '^announce ' "$WORK/hostsim.out" | grep -q '"job-name":"big.bin"' ||
  fail "the announcement lacks the job metadata: $(grep '^announce' "$WORK/hostsim.out")"
grep '^announce ' "$WORK/hostsim.out" | grep -q '"abspath"' && fail "the local path leaked to the host"

# A job that ends in zero bytes: the size in the announcement tells the host
# where it ends, so nothing is cut.
{ head -c 100000 /dev/urandom; head -c 5000 /dev/zero; } > "$WORK/zeros.bin"
print_file "$WORK/zeros.bin" lab
expect_received "$WORK/zeros.bin" 60

# Several jobs at once, to both queues.
for i in 1 2 3 4; do
  random_file "$WORK/job$i.bin" $((300000 * i + 7))
done
pids=
for i in 1 2 3 4; do
  q=office
  [ $((i % 2)) -eq 0 ] && q=lab
  print_file "$WORK/job$i.bin" "$q" &
  pids="$pids $!"
done
for p in $pids; do
  wait "$p" || fail "an lp submission failed"
done
for i in 1 2 3 4; do
  expect_received "$WORK/job$i.bin" 90
done

# Every job was fetched to its last byte, so none is left in the spool; the
# administrator's file is.
leftover=$(ls "$SPOOL" | grep '^job-' || true)
[ -z "$leftover" ] || fail "fetched print files stayed in the spool: $leftover"
[ "$(cat "$SPOOL/admin-notes.txt")" = keep ] || fail "a file the daemon did not register was touched"
grep -q '\[SpoolDirectory\]:\[remove\]: removed print file /var/spool/orvanta-print/job-' "$LOG" ||
  fail "no removal logged"

if [ "$transport" = serial ]; then
  grep -q '^>> frame 97 bytes type 4 {"context":"cups","method":"discovery","type":"notification"}' "$WORK/hostsim.out" ||
    fail "the trace lacks the discovery notification"
  grep -q '^<< frame 89 bytes type 4 {"context":"cups","method":"discovery","type":"request"}' "$WORK/hostsim.out" ||
    fail "the trace lacks the daemon's discovery request"
fi
if grep -q 'error' "$WORK/hostsim.err"; then
  fail "host-sim saw errors: $(cat "$WORK/hostsim.err")"
fi
daemon_alive || fail "the daemon is gone"
kill -TERM "$DAEMON_PID"
wait_for "grep -q 'Stopped Orvanta Cups Daemon' '$LOG'" 10 || fail "no clean stop"
echo "PASS: journey over $transport"
