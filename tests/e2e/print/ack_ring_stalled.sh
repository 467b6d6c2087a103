#!/bin/sh
# The host agent is connected but has stopped reading when a job is
# announced: the daemon's outgoing ring is full and stays full past the
# daemon's bounded wait. CUPS must keep the job (never "completed" with
# nothing at the host); once the host reads again the job arrives byte for
# byte and CUPS completes it.
#   ack_ring_stalled.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
here_print=$(cd "$(dirname "$0")" && pwd)
. "$here_print/lib.sh"
. "$here_print/../faults/common.sh"
# The object host-sim serves is a 496-byte control block and two rings of
# equal size; the second carries what the daemon writes.
RING=$(( (33554432 - 496) / 2 ))
STALL_MS=5000  # how long the daemon waits for ring space without progress
# Room left in the ring when the job is announced: less than the
# announcement's frame. The daemon must not put the head of the frame into
# it (the host would hold a frame whose tail never comes).
SLACK=40

start_mirrored shm

# The ring is filled with the daemon's own answers: past the end of a file
# the host fetched whole, the daemon pads with zeros as much as is asked, so
# the host picks the frame sizes. A first job gives such a file.
random_file "$WORK/first.bin" 1000
print_file "$WORK/first.bin" lab
expect_received "$WORK/first.bin"
first=$(last_announced_id)
[ -n "$first" ] || fail "no identifier in the first announcement"
# The frame of each size, measured while the host still reads (the same
# request always gets the same frame).
sizes="4194304 262144 16384 1024 $(seq 1 64)"
for s in $sizes; do
  hostsim_cmd request "$first" 1000 "$s"
done
wait_for "[ \$(grep -c '^response id=$first ' '$WORK/hostsim.out') -ge $(echo $sizes | wc -w) ]" 60 ||
  fail "not every request past the end was answered"
grep "^response id=$first offset=1000 " "$WORK/hostsim.out" |
  sed 's/.* size=\([0-9]*\) frame=\([0-9]*\)$/\1 \2/' | sort -u > "$WORK/frames"

# Answers that fill the ring up to SLACK bytes: whole frames from large to
# small, then an exact sum of small ones.
plan_fill() {
  python3 - "$1" "$WORK/frames" <<'PY'
import sys
free = int(sys.argv[1])
frame = {int(s): int(f) for s, f in (l.split() for l in open(sys.argv[2]))}
plan = []
for s in (4194304, 262144, 16384, 1024):
    n = max(0, (free - 2500) // frame[s])
    plan += [s] * n
    free -= n * frame[s]
small = [s for s in frame if s <= 64]
way = [None] * (free + 1)
way[0] = []
for total in range(1, free + 1):
    for s in small:
        if frame[s] <= total and way[total - frame[s]] is not None:
            way[total] = way[total - frame[s]] + [s]
            break
if way[free] is None:
    sys.exit("no exact fill of %d bytes" % free)
print(" ".join(str(s) for s in plan + way[free]))
PY
}

# The host stops reading. Its reader takes one block off the ring with the
# first answer and stalls holding it, which leaves that much room again.
hostsim_cmd pause
wait_for "grep -q '^paused$' '$WORK/hostsim.out'" 10 || fail "host-sim did not pause"
mark=$(log_lines)
hostsim_cmd request "$first" 1000 4194304
wait_for "grep -q '^reading paused, holding ' '$WORK/hostsim.out'" 20 || fail "host-sim's reader did not stall"
held=$(sed -n 's/^reading paused, holding \([0-9]*\) bytes$/\1/p' "$WORK/hostsim.out")
plan=$(plan_fill $((RING + held - SLACK - $(awk '$1 == 4194304 { print $2 }' "$WORK/frames")))) ||
  fail "no fill plan"
for s in $plan; do
  hostsim_cmd request "$first" 1000 "$s"
done
asked=$(( $(echo $plan | wc -w) + 1 ))
wait_for "[ \$(log_since $((mark + 1)) | grep -c 'write res=') -ge $asked ]" 60 ||
  fail "the daemon did not write the $asked answers"
written=$(log_since $((mark + 1)) | sed -n 's/.*write res=\([0-9]*\)$/\1/p' | awk '{ s += $1 } END { print s }')
[ "$written" -eq $((RING + held - SLACK)) ] ||
  fail "the daemon wrote $written bytes, not the $((RING + held - SLACK)) asked for"
log_since $((mark + 1)) | grep -q 'dropped' && fail "an answer was dropped while filling the ring"

# The job is announced into the ring with SLACK bytes of room.
mark=$(log_lines)
random_file "$WORK/job.bin" $((2 * 1024 * 1024 + 5))
req=$(lp -d office -o raw -t job.bin "$WORK/job.bin" | sed -n 's/^request id is \([^ ]*\) .*/\1/p')
[ -n "$req" ] || fail "lp gave no request id"
wait_for "log_since $((mark + 1)) | grep -q 'announcement not delivered to the host; the backend is told to retry'" \
  $((STALL_MS / 1000 + 30)) || fail "the daemon did not give the announcement up"
dropped=$(log_since $((mark + 1)) | grep "ring full for $STALL_MS ms, frame of" | head -n 1)
size=$(echo "$dropped" | sed -n 's/.*frame of \([0-9]*\) bytes dropped (\([0-9]*\) not sent).*/\1/p')
unsent=$(echo "$dropped" | sed -n 's/.*frame of \([0-9]*\) bytes dropped (\([0-9]*\) not sent).*/\2/p')
[ -n "$size" ] && [ -n "$unsent" ] || fail "no dropped frame logged: $dropped"
[ "$size" -gt "$SLACK" ] || fail "the announcement ($size bytes) would have fitted"
[ "$unsent" -eq "$size" ] || fail "$((size - unsent)) bytes of the announcement went into the ring"
if lpstat -W completed -o | grep -q "^$req "; then
  fail "CUPS counts the job as completed while the host holds nothing of it"
fi
lpstat -o office | grep -q "^$req " || fail "CUPS no longer holds the job: $(lpstat -W all -o)"
grep -q '"job-name":"job.bin"' "$WORK/hostsim.out" && fail "the host saw the announcement while not reading"

# Not a byte of it went in, so the channel is sound: the daemon stays, and
# the backend is told.
log_since $((mark + 1)) | grep -q 'frame cut short' && fail "the daemon cut a frame"
daemon_alive || fail "the daemon ended although the channel is sound"
wait_for "grep -q 'the print daemon could not take the job (' /run/cups-e2e/log/error_log" 15 ||
  fail "the backend got no error answer"

hostsim_cmd resume
wait_for "grep -q '^resumed$' '$WORK/hostsim.out'" 10 || fail "host-sim did not resume"
expect_received "$WORK/job.bin" 90
wait_for "lpstat -W completed -o | grep -q '^$req '" 30 || fail "the job did not complete: $(lpstat -W all -o)"
if grep -q 'error' "$WORK/hostsim.err"; then
  fail "host-sim saw errors: $(cat "$WORK/hostsim.err")"
fi
echo "PASS: a job announced into a stalled ring is kept and delivered once the host reads again"
