#!/bin/sh
# Idle cost of both daemons: how often each wakes while connected to a host
# that sends nothing. Run inside tests/e2e/isolate:
#   idle_wakeups.sh <cups_zefa_service> <host-sim> <quor-mounting-shdir-service> <host-sim-mount> [seconds]
# 1. The print daemon, connected to host-sim over the shared-memory channel
#    "orvanta.Printer.0", its backend port open, no job.
# 2. The mount service, with host-sim-mount connected to its channel and no
#    request.
# Each is left to settle, then the voluntary and nonvoluntary context switches
# of all its threads (/proc/PID/task/*/status) are counted over the window
# (default 60 s), with its CPU time (schedstat). A context switch is a wake-up
# here: an idle thread runs only when something woke it. Prints switches per
# second per process and per thread, so the thread that wakes is named.
# With MAX_PER_S set, fails when either daemon's figure is above it;
# ONLY=print or ONLY=mount measures one daemon. With BASELINE_DIR set to a
# directory holding the four programs of another build (same file names:
# cups_zefa_service, host-sim, quor-mounting-shdir-service, host-sim-mount),
# each daemon of that build is measured first, in the same run, and the
# ratio of the two figures is printed per daemon.
set -eu
abs() { case $1 in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
DAEMON=$(abs "$1") HOSTSIM=$(abs "$2") MOUNTSVC=$(abs "$3") HOSTSIM_MOUNT=$(abs "$4")
SECONDS_IDLE=${5:-60}
SETTLE=3
W=/tmp/idle-bench
LOG=/var/log/orvanta/cups_daemon.log
mkdir -p $W/bin
# The desktop agent's unit is not installed: no wait for its object.
printf '#!/bin/sh\nexit 1\n' > $W/bin/systemctl
chmod +x $W/bin/systemctl
PATH=$W/bin:$PATH
mount -t tmpfs -o mode=0755 none /var/spool
mkdir -m 0700 /var/spool/orvanta-print
fail() { echo "idle bench: $*" >&2; ls -la /dev/shm /tmp >&2; tail -n 20 $LOG >&2 2>/dev/null || true; cat $W/hs.err >&2 2>/dev/null || true; exit 1; }

# switches PID: "total tid1=n1 tid2=n2 ..." over the process's threads (they
# share the program's name; the lowest tid is the main thread).
switches() {
  for t in /proc/$1/task/*; do
    n=${t##*/}
    awk -v n="$n" '/^(voluntary|nonvoluntary)_ctxt_switches/ { s += $2 } END { printf "%s %d\n", n, s }' $t/status 2>/dev/null
  done | awk '{ s[$1] += $2; t += $2 } END { printf "%d", t; for (k in s) printf " %s=%d", k, s[k]; printf "\n" }'
}
cpu_ns() { cat /proc/$1/task/*/schedstat | awk '{ t += $1 } END { printf "%d", t }'; }

# measure LABEL PID: prints the figures of PID over the window.
measure() {
  label=$1 pid=$2
  sleep $SETTLE
  s0=$(switches $pid) c0=$(cpu_ns $pid) threads0=$(ls /proc/$pid/task | wc -l)
  sleep $SECONDS_IDLE
  s1=$(switches $pid) c1=$(cpu_ns $pid)
  kill -0 $pid 2>/dev/null || fail "$label ended during the window"
  echo "$s0" > $W/s0
  echo "$s1" > $W/s1
  awk -v label="$label" -v secs=$SECONDS_IDLE -v cpu=$((c1 - c0)) -v threads=$threads0 '
    NR == FNR { t0 = $1; for (i = 2; i <= NF; i++) { split($i, kv, "="); a[kv[1]] = kv[2] } next }
    { t1 = $1; for (i = 2; i <= NF; i++) { split($i, kv, "="); b[kv[1]] = kv[2] } }
    END {
      printf "%s idle %d s, %d threads\n", label, secs, threads
      printf "  context switches    %8.2f /s\n", (t1 - t0) / secs
      printf "  CPU                 %8.3f ms/s\n", cpu / 1e6 / secs
      for (k in b) printf "  thread %-8s %14.2f /s\n", k, (b[k] - a[k]) / secs
    }' $W/s0 $W/s1
  printf '%s %.2f\n' "$label" "$(awk -v a="${s0%% *}" -v b="${s1%% *}" -v s=$SECONDS_IDLE 'BEGIN { print (b - a) / s }')" >> $W/figures
}

: > $W/figures
ONLY=${ONLY:-both}

# print_idle LABEL DAEMON HOSTSIM: the print daemon, connected and idle.
print_idle() {
label=$1 daemon=$2 hostsim=$3
rm -f $W/ctl $LOG
mkfifo $W/ctl
"$hostsim" --transport shm --out $W < $W/ctl > $W/hs.out 2> $W/hs.err &
hs=$!
exec 9> $W/ctl
i=0; until grep -q '^listening' $W/hs.out 2>/dev/null; do i=$((i+1)); [ $i -lt 100 ] || fail "host-sim did not start"; sleep 0.05; done
"$daemon" start
i=0; until grep -q 'socket opened' $LOG 2>/dev/null && grep -q '^connected' $W/hs.out; do
  i=$((i+1)); [ $i -lt 200 ] || fail "daemon not up"; sleep 0.05; done
pid=$(cat /var/run/cups_zefa_service.pid)
measure "$label" $pid
kill -TERM $pid
echo quit >&9
exec 9>&-
wait $hs || true
# The next run binds the same port and writes the same log.
i=0; while kill -0 $pid 2>/dev/null; do i=$((i+1)); [ $i -lt 200 ] || fail "$label did not stop"; sleep 0.05; done
}

# mount_idle LABEL MOUNTSVC HOSTSIM_MOUNT: the mount service, a host
# connected, no request.
mount_idle() {
label=$1 mountsvc=$2 hostsim_mount=$3
printf 'debug: false\n' > $W/mount.yaml
(cd /tmp && exec "$mountsvc" -c $W/mount.yaml) > $W/ms.out 2>&1 &
ms=$!
i=0; until [ -e /dev/shm/quor-mounting-shdir-service ]; do i=$((i+1)); [ $i -lt 200 ] || fail "mount service not up: $(cat $W/ms.out)"; sleep 0.05; done
rm -f $W/mctl
mkfifo $W/mctl
"$hostsim_mount" < $W/mctl > $W/hsm.out 2>&1 &
hsm=$!
exec 8> $W/mctl
i=0; until grep -q '^connected' $W/hsm.out 2>/dev/null; do i=$((i+1)); [ $i -lt 200 ] || fail "host-sim-mount did not connect"; sleep 0.05; done
measure "$label" $ms
echo quit >&8
exec 8>&-
wait $hsm || true
kill -TERM $ms
wait $ms || true
}

# ratio NAME: the figure of NAME over that of "baseline NAME", when both ran.
ratio() {
  awk -v n="$1" '{ v = $NF; f[substr($0, 1, length($0) - length(v) - 1)] = v }
    END { b = f["baseline " n]; c = f[n]; if (b != "" && c != "" && b > 0) printf "%s: %.2f/s against %.2f/s of the baseline, ratio %.2fx\n", n, c, b, c / b }' $W/figures
}

BASE=${BASELINE_DIR:-}
if [ -n "$BASE" ]; then BASE=$(abs "$BASE"); fi
if [ "$ONLY" != mount ]; then
  if [ -n "$BASE" ]; then print_idle "baseline cups_zefa_service" "$BASE/cups_zefa_service" "$BASE/host-sim"; fi
  print_idle cups_zefa_service "$DAEMON" "$HOSTSIM"
fi
if [ "$ONLY" != print ]; then
  if [ -n "$BASE" ]; then mount_idle "baseline quor-mounting-shdir-service" "$BASE/quor-mounting-shdir-service" "$BASE/host-sim-mount"; fi
  mount_idle quor-mounting-shdir-service "$MOUNTSVC" "$HOSTSIM_MOUNT"
fi
if [ -n "$BASE" ]; then
  ratio cups_zefa_service
  ratio quor-mounting-shdir-service
fi

if [ -n "${MAX_PER_S:-}" ]; then
  awk -v max="$MAX_PER_S" '$1 != "baseline" && $2 > max { print "idle bench: " $1 " wakes " $2 "/s, above " max "/s"; bad = 1 } END { exit bad }' $W/figures
fi
