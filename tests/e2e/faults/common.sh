# Steps the fault scenarios share, on top of tests/e2e/print/lib.sh (source
# that first).

# announce_path <path>: what the zefa-prt backend does once it has spooled a
# job: one JSON line with "abspath" on the daemon's port, then wait until the
# daemon has read it and closed the connection.
announce_path() {
  python3 - "$1" <<'PY' || fail "announcing $1 on 127.0.0.1:4848 failed"
import json, socket, sys
s = socket.create_connection(("127.0.0.1", 4848), timeout=10)
s.sendall((json.dumps({"abspath": sys.argv[1], "job-name": "again"}) + "\n").encode())
s.shutdown(socket.SHUT_WR)
while s.recv(256):
    pass
s.close()
PY
}

# The identifier of the newest file host-sim was told about.
last_announced_id() {
  grep '^announce ' "$WORK/hostsim.out" | tail -n 1 | sed -n 's/.*"id":"\([^"]*\)".*/\1/p'
}

# wait_mid_transfer <id> <bytes>: returns once host-sim holds a good part of
# the file but not all of it; fails when the whole file got through first.
wait_mid_transfer() {
  part=$(( $2 / 8 ))
  [ "$part" -le 4194304 ] || part=4194304
  # Polled tightly: on an idle machine the whole file takes well under a
  # second.
  i=0
  while [ "$(stat -c %s "$WORK/out/$1" 2>/dev/null || echo 0)" -lt "$part" ]; do
    i=$((i + 1))
    [ "$i" -le 6000 ] || fail "the transfer of $1 did not start"
    sleep 0.01
  done
  if grep -q "^file id=$1 " "$WORK/hostsim.out"; then
    fail "the transfer of $1 finished before the fault could hit it; use a larger size"
  fi
}

# A second daemon after the first one is gone: waits for its own socket line
# and its own pid in the pid file.
restart_daemon() {
  opened=$(grep -c 'socket opened' "$LOG" || true)
  old=${DAEMON_PID:-none}
  "$DAEMON" start || fail "start returned $?"
  wait_for "[ \$(grep -c 'socket opened' '$LOG') -gt $opened ]" 20 || fail "the new daemon did not open its socket"
  wait_for "[ -s '$PIDFILE' ] && [ \"\$(cat '$PIDFILE')\" != '$old' ]" 10 || fail "the new daemon wrote no pid"
  DAEMON_PID=$(cat "$PIDFILE")
}

# The daemon log from line $1 on.
log_since() { tail -n "+$1" "$LOG"; }
log_lines() { wc -l < "$LOG"; }

no_sanitizer_reports() {
  for f in "$WORK"/sanitizer*; do
    [ -f "$f" ] && fail "sanitizer report in $f"
  done
  return 0
}

# Starts host-sim over shared memory and the daemon, mirrors the printers,
# prints a file of SIZE_MIB MiB ($WORK/big.bin) and returns once the host is
# part-way through pulling it. Sets $size and $id (the file's identifier).
start_big_transfer() {
  setup
  start_hostsim shm
  start_daemon
  mirror_printers
  size=$((SIZE_MIB * 1024 * 1024 + 17))
  random_file "$WORK/big.bin" "$size"
  print_file "$WORK/big.bin" office
  wait_for "grep -q '^announce ' '$WORK/hostsim.out'" 60 || fail "the job was never announced to the host"
  id=$(last_announced_id)
  [ -n "$id" ] || fail "no identifier in the announcement"
  wait_mid_transfer "$id" "$size"
}
