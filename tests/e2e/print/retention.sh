#!/bin/sh
# A print file the host was told of but never fetches leaves the spool once
# the configured retention has passed, its registry entry with it; nothing
# else in the spool directory is touched. (A file the host fetched to its
# last byte goes at once: journey.sh checks that.)
#   retention.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
here_print=$(cd "$(dirname "$0")" && pwd)
. "$here_print/lib.sh"
CONFIG=/etc/orvanta/cups_zefa_service.yaml
SPOOL=/var/spool/orvanta-print
RETENTION=60  # seconds: the shortest the daemon accepts, one minute
SWEEP=6       # a tenth of the retention

mkdir -p "$WORK"
private_etc
mkdir -p /etc/orvanta
echo 'spool_retention_minutes: 1' > "$CONFIG"
setup
start_hostsim shm
start_daemon
grep -q "$CONFIG: spool retention 1 min" "$LOG" || fail "the daemon did not take the retention from $CONFIG"
wait_connected
mirror_printers

# The administrator's files, one of them named like ours: only what the
# daemon registered may go.
mkdir -p -m 0700 "$SPOOL"
echo keep > "$SPOOL/admin-notes.txt"
echo keep > "$SPOOL/job-999-plantd"

# The host takes the announcement into its channel but never reads it, so it
# never asks for a byte of the file.
hostsim_cmd pause
wait_for "grep -q '^paused$' '$WORK/hostsim.out'" 10 || fail "host-sim did not pause"
random_file "$WORK/job.bin" 300007
req=$(lp -d office -o raw -t job.bin "$WORK/job.bin" | sed -n 's/^request id is \([^ ]*\) .*/\1/p')
[ -n "$req" ] || fail "lp gave no request id"
# Completed: the daemon answered "ok" once the announcement was in the ring.
wait_for "lpstat -W completed -o | grep -q '^$req '" 60 || fail "the job did not complete: $(lpstat -W all -o)"
spooled=$(ls "$SPOOL" | grep '^job-' | grep -v '^job-999-plantd$' || true)
[ "$(echo "$spooled" | grep -c .)" -eq 1 ] || fail "expected one spooled job, found: $spooled"
file=$SPOOL/$spooled
cmp -s "$file" "$WORK/job.bin" || fail "$file does not hold the job"
# The backend wrote the file just before announcing it, so the retention
# runs out no earlier than a minute after its modification time.
born=$(stat -c %Y "$file")

while [ -e "$file" ]; do
  [ "$(date +%s)" -lt $((born + RETENTION + SWEEP + 20)) ] ||
    fail "$file is still in the spool $((RETENTION + SWEEP + 20)) s after it was written"
  sleep 1
done
gone=$(date +%s)
[ "$gone" -ge $((born + RETENTION)) ] || fail "$file went after $((gone - born)) s, before its retention of $RETENTION s"

grep -q '\[SpoolRetention\]:\[sweep\]: 1 print files past their retention dropped' "$LOG" ||
  fail "the sweep logged no dropped file"
grep -q "\[SpoolDirectory\]:\[remove\]: removed print file $file\$" "$LOG" || fail "the removal of $file is not logged"
[ "$(cat "$SPOOL/admin-notes.txt")" = keep ] || fail "the administrator's file was touched"
[ "$(cat "$SPOOL/job-999-plantd")" = keep ] || fail "a file the daemon never registered was touched"
[ "$(ls "$SPOOL" | wc -l)" -eq 2 ] || fail "unexpected spool contents: $(ls "$SPOOL")"

# The entry went with the file: when the host finally reads the announcement
# and asks for the file, the daemon has nothing to open and sends nothing.
mark=$(wc -l < "$LOG")
hostsim_cmd resume
wait_for "grep -q '^announce ' '$WORK/hostsim.out'" 10 || fail "the host never got the announcement"
wait_for "tail -n +$mark '$LOG' | grep -q 'base64 chunk is empty'" 10 || fail "the daemon answered for an expired file"
tail -n "+$mark" "$LOG" | grep -q 'Unable to open file' && fail "the expired file is still registered"
grep -q '^file id=' "$WORK/hostsim.out" && fail "the host received the expired file"
daemon_alive || fail "the daemon is gone"
echo "PASS: an unfetched print file leaves the spool after the retention, and only it"
