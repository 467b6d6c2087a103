#!/bin/sh
# A second local user (uid 2004, through setpriv) keeps reconnecting idle
# connections to the backend port, more than it serves at once. Another
# user's job must still reach the host whole and promptly, and the hoarded
# connections must be dropped at the line deadline or shed.
#   backend_port_hold.sh <daemon> <host-sim> <zefa-prt>
set -eu
DAEMON=$1 HOSTSIM=$2 BACKEND=$3
. "$(dirname "$0")/lib.sh"
start_mirrored shm

setpriv --reuid=2004 --regid=2004 --clear-groups -- /usr/bin/python3 - > "$WORK/hoarder.out" 2>&1 <<'PY' &
import socket, time
held = []
end = time.monotonic() + 40
while time.monotonic() < end:
    held = [s for s in held if s.fileno() >= 0]
    while len(held) < 24:
        try:
            held.append(socket.create_connection(("127.0.0.1", 4848), timeout=2))
        except OSError:
            time.sleep(0.05)
            break
    for s in list(held):
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                s.close()
                held.remove(s)
        except BlockingIOError:
            pass
        except OSError:
            s.close()
            held.remove(s)
    time.sleep(0.05)
PY
HOARDER=$!
sleep 2
kill -0 "$HOARDER" || fail "the hoarding user did not run: $(cat "$WORK/hoarder.out")"

for i in 1 2 3; do
  random_file "$WORK/held$i.bin" $((200000 * i + 11))
  start=$(date +%s)
  print_file "$WORK/held$i.bin" office
  expect_received "$WORK/held$i.bin" 20
  took=$(( $(date +%s) - start ))
  echo "job $i reached the host in ${took}s while the port was hoarded"
done
grep -Eq 'closed idle client|sent no complete line within' "$LOG" ||
  fail "the hoarded connections were neither shed nor dropped"
wait_for "lpstat -W completed -o | grep -c office | grep -q 3" 30 || fail "CUPS did not complete the jobs: $(lpstat -W all -o)"
kill "$HOARDER" 2>/dev/null || true
daemon_alive || fail "the daemon is gone"
echo "PASS: backend port hoarded by another user"
