#!/bin/sh
# Malformed input from both peers: thousands of bad frames and garbage bytes
# from the host, bad lines from a backend client, JSON type errors in every
# message kind. The daemon survives, answers none of it, and a print job
# afterwards still arrives whole.
#   badinput.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
. "$(dirname "$0")/lib.sh"
start_mirrored shm

hostsim_cmd garbage 3000 7
hostsim_cmd typeerrors
hostsim_cmd garbage 2000 11
wait_for "[ \$(grep -c '^sent ' '$WORK/hostsim.out') -ge 3 ]" 20 || fail "host-sim did not send the garbage"

# Backend side: lines that are not one JSON value, a huge line, type errors,
# a path outside the spool, and an unfinished line from a client that left.
python3 - <<'PY'
import socket, time
def client(data, close_after=True):
    s = socket.create_connection(("127.0.0.1", 4848), timeout=10)
    s.sendall(data)
    time.sleep(0.2)
    s.close()
client(b'not json at all\n{"a":1} {"b":2}\n\n')
client(b'{"abspath":5}\n[1,2]\n"text"\n{"abspath":"/etc/passwd"}\n')
try:
    client(b'{"abspath":"' + b'x' * (3 * 1024 * 1024) + b'"}\n')
except OSError:
    pass
client(b'{"abspath":"/var/spool/orvanta-print/half')
PY

# Everything above must be answered by nothing; give the daemon time to chew.
wait_for "grep -q 'line longer than' '$LOG'" 20 || fail "the huge line was not refused"
sleep 2
daemon_alive || fail "the daemon died on bad input"
if grep -E 'nobody asked|bad frame from the daemon|unexpected message|unrecognised' "$WORK/hostsim.err"; then
  fail "the daemon sent something in answer to bad input"
fi
grep -q '^announce' "$WORK/hostsim.out" && fail "a bad backend line reached the host"
for text in 'RawStreamDataConverter error res=2' 'message dropped, exception' 'Error while parsing JSON' \
            'announcement dropped, exception' 'cannot create task' 'dropped .* bytes'; do
  grep -q "$text" "$LOG" || fail "expected log line missing: $text"
done

# A valid job afterwards still arrives whole.
random_file "$WORK/after.bin" $((2 * 1024 * 1024 + 5))
print_file "$WORK/after.bin" lab
expect_received "$WORK/after.bin" 60
daemon_alive || fail "the daemon is gone"
echo "PASS: bad input"
