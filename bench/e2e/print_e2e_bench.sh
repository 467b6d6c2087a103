#!/bin/sh
# End-to-end benchmark of the print daemon over shared memory. Run inside
# tests/e2e/isolate:
#   print_e2e_bench.sh <daemon> <host-sim> <ring_push> [MiB] [chunk] [inflight]
# 1. Baseline, the channel's ceiling: ring_push writes the bytes raw into the
#    client-to-server ring of "orvanta.Printer.0" and host-sim drains them.
# 2. The daemon: a file of the same size in the spool directory, announced on
#    the backend socket, pulled by host-sim in chunks with several requests in
#    flight; host-sim decodes and checks a sample of chunks only.
# Both are measured past a first lap of the ring (WARM bytes raw; a job of
# WARM bytes through the daemon), which maps the object's pages: a session's
# channel is past its first lap.
# Prints MB/s of both, their ratio, the daemon's peak RSS and CPU per MiB.
# With PERF_OUT=<file> set, the daemon is profiled with perf record during
# the transfer (perf report -i <file> afterwards).
set -eu
DAEMON=$1 HOSTSIM=$2 PUSH=$3
MIB=${4:-256}
CHUNK=${5:-1048576}
INFLIGHT=${6:-16}
BYTES=$((MIB * 1024 * 1024))
WARM=$((32 * 1024 * 1024))
W=/tmp/bench
LOG=/var/log/orvanta/cups_daemon.log
mkdir -p $W/bin
printf '#!/bin/sh\nexit 1\n' > $W/bin/systemctl
chmod +x $W/bin/systemctl
PATH=$W/bin:$PATH
mount -t tmpfs -o mode=0755 none /var/spool
mkdir -m 0700 /var/spool/orvanta-print
# No serial port in this namespace: keep the daemon off the real /dev.
fail() { echo "bench: $*" >&2; tail -n 20 $LOG >&2 2>/dev/null || true; cat $W/hs.err >&2 2>/dev/null || true; exit 1; }

# 1. raw ring, three times, the median kept (a single run now and then
#    catches the reader descheduled at the start of the clock)
raw_once() {
  "$HOSTSIM" --raw-sink $BYTES --raw-warm $WARM > $W/raw.out 2>&1 &
  sink=$!
  i=0; until [ -e /dev/shm/orvanta.Printer.0 ]; do i=$((i+1)); [ $i -lt 100 ] || fail "no sink"; sleep 0.05; done
  "$PUSH" $BYTES orvanta.Printer.0 33554432 $WARM > $W/push.out || fail "ring_push failed"
  wait $sink || true
  sed -n 's/^raw .*MB\/s=\([0-9.]*\).*/\1/p' $W/raw.out
  i=0; while [ -e /dev/shm/orvanta.Printer.0 ]; do i=$((i+1)); [ $i -lt 100 ] || fail "sink left its object"; sleep 0.05; done
}
raw=$(for k in 1 2 3; do raw_once; done | sort -n | sed -n 2p)
[ -n "$raw" ] || fail "no raw figure: $(cat $W/raw.out)"

# 2. the daemon
"$HOSTSIM" --make-pattern-file /var/spool/orvanta-print/warm.bin $WARM
"$HOSTSIM" --make-pattern-file /var/spool/orvanta-print/bench.bin $BYTES
mkfifo $W/ctl
"$HOSTSIM" --bench --pattern --chunk $CHUNK --inflight $INFLIGHT --sample 64 \
  < $W/ctl > $W/hs.out 2> $W/hs.err &
hs=$!
exec 9> $W/ctl
i=0; until grep -q '^listening' $W/hs.out; do i=$((i+1)); [ $i -lt 100 ] || fail "host-sim did not start"; sleep 0.05; done
"$DAEMON" start
i=0; until grep -q 'socket opened' $LOG 2>/dev/null && grep -q '^connected' $W/hs.out; do
  i=$((i+1)); [ $i -lt 200 ] || fail "daemon not up"; sleep 0.05; done
pid=$(cat /var/run/cups_zefa_service.pid)
# CPU time of all of a process's threads, in nanoseconds (finer than the
# clock ticks of /proc/PID/stat).
cpu_ns() { cat /proc/$1/task/*/schedstat | awk '{ t += $1 } END { printf "%d", t }'; }
announce() {
  python3 -c "
import socket
s = socket.create_connection(('127.0.0.1', 4848))
s.sendall(b'{\"abspath\":\"$1\",\"size\":$2,\"job-name\":\"bench\"}\n')
s.close()"
}
# Waits until host-sim has reported $1 whole files.
wait_files() {
  i=0; until [ "$(grep -c '^file ' $W/hs.out)" -ge "$1" ]; do
    i=$((i+1)); [ $i -lt 6000 ] || fail "the file did not arrive"
    kill -0 $hs 2>/dev/null || fail "host-sim ended: $(cat $W/hs.err)"
    sleep 0.05
  done
}
announce /var/spool/orvanta-print/warm.bin $WARM
wait_files 1
ticks0=$(cpu_ns $pid)
if [ -n "${PERF_OUT:-}" ]; then
  perf record -q -g -o "$PERF_OUT" -p $pid > $W/perf.out 2>&1 &
  perfpid=$!
  sleep 0.5
fi
hticks0=$(cpu_ns $hs)
announce /var/spool/orvanta-print/bench.bin $BYTES
wait_files 2
ticks1=$(cpu_ns $pid)
hwm=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
hticks1=$(cpu_ns $hs)
if [ -n "${PERF_OUT:-}" ]; then
  kill -INT $perfpid
  wait $perfpid || true
fi
kill -TERM $pid
echo quit >&9
wait $hs || fail "host-sim reported errors: $(cat $W/hs.err)"
line=$(grep '^file ' $W/hs.out | tail -n 1) || fail "no file line"
daemon=$(echo "$line" | sed -n 's/.*MB\/s=\([0-9.]*\).*/\1/p')
awk -v raw="$raw" -v d="$daemon" -v hwm="$hwm" -v t=$((ticks1 - ticks0)) -v mib="$MIB" \
    -v chunk="$CHUNK" -v inflight="$INFLIGHT" -v ht=$((hticks1 - hticks0)) 'BEGIN {
  printf "print e2e over shared memory: %d MiB, chunk %d, %d in flight\n", mib, chunk, inflight
  printf "  raw ring (baseline)      %8.1f MB/s\n", raw
  printf "  daemon, file payload     %8.1f MB/s\n", d
  printf "  ratio daemon/raw         %8.3f\n", d / raw
  printf "  daemon peak RSS          %8.1f MiB\n", hwm / 1024
  printf "  daemon CPU per MiB       %8.2f ms\n", t / 1e6 / mib
  printf "  host-sim CPU per MiB     %8.2f ms\n", ht / 1e6 / mib
}'
