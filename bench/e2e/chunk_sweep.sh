#!/bin/sh
# Print throughput against chunk size over both host transports. Run inside
# tests/e2e/isolate:
#   chunk_sweep.sh <daemon> <host-sim> [MiB] [chunk sizes...]  > sweep.csv
# For each transport (shared memory, serial port on a pseudo-terminal) and
# chunk size, a pattern file in the spool directory is announced on the
# backend socket and pulled by host-sim with 8 requests in flight; prints
# "transport,chunk,MB/s" lines (file payload per second).
set -eu
DAEMON=$1 HOSTSIM=$2
shift 2
MIB=${1:-64}
[ $# -gt 0 ] && shift
CHUNKS=${*:-16384 65536 262144 1048576 4194304}
BYTES=$((MIB * 1024 * 1024))
BACKEND=/bin/false
. "$(cd "$(dirname "$0")" && pwd)/../../tests/e2e/print/lib.sh"

mkdir -p "$WORK/bin"
private_dev
printf '#!/bin/sh\nexit 1\n' > "$WORK/bin/systemctl"
chmod +x "$WORK/bin/systemctl"
PATH=$WORK/bin:$PATH
mount -t tmpfs -o mode=0755 none /var/spool
mkdir -m 0700 /var/spool/orvanta-print
"$HOSTSIM" --make-pattern-file /var/spool/orvanta-print/sweep.bin $BYTES

one_run() {  # one_run <transport> <chunk>
  : > "$LOG"
  rm -f "$WORK/ctl"
  mkfifo "$WORK/ctl"
  if [ "$1" = serial ]; then port="--port /dev/virtio-ports/orvanta.Printer.0"; else port=""; fi
  # shellcheck disable=SC2086
  "$HOSTSIM" --transport "$1" $port --bench --pattern --chunk "$2" --inflight 8 --sample 64 \
    < "$WORK/ctl" > "$WORK/hs.out" 2> "$WORK/hs.err" &
  hs=$!
  exec 9> "$WORK/ctl"
  wait_for "grep -q '^listening' '$WORK/hs.out'" 10 || fail "host-sim did not start"
  "$DAEMON" start
  wait_for "grep -q 'socket opened' '$LOG'" 60 || fail "daemon did not open its socket"
  pid=$(cat "$PIDFILE")
  python3 -c "
import socket
s = socket.create_connection(('127.0.0.1', 4848))
s.sendall(b'{\"abspath\":\"/var/spool/orvanta-print/sweep.bin\",\"size\":$BYTES}\n')
s.close()"
  wait_for "grep -q '^file ' '$WORK/hs.out'" 600 || fail "the file did not arrive over $1 with chunk $2"
  mbs=$(sed -n 's/^file .*MB\/s=\([0-9.]*\).*/\1/p' "$WORK/hs.out")
  kill -TERM "$pid"
  wait_for "! kill -0 $pid" 20 || fail "daemon did not stop"
  echo quit >&9
  exec 9>&-
  wait "$hs" || true
  echo "$1,$2,$mbs"
}

echo "transport,chunk,MBps"
for transport in shm serial; do
  for chunk in $CHUNKS; do
    one_run "$transport" "$chunk"
  done
done
