# Shared steps of the print daemon's end-to-end scenarios. Sourced by a
# scenario running inside tests/e2e/isolate, with:
#   DAEMON   the cups_zefa_service binary
#   HOSTSIM  the host-sim binary
#   BACKEND  the zefa-prt backend binary
# Everything lives under $WORK on the namespace's private /tmp.

WORK=/tmp/print-e2e
LOG=/var/log/orvanta/cups_daemon.log
PIDFILE=/var/run/cups_zefa_service.pid
here=$(cd "$(dirname "$0")" && pwd)
e2e_lib=$here/../lib

# The daemon detaches with its output on /dev/null; sanitizer reports of an
# instrumented build go to files instead, shown on failure.
ASAN_OPTIONS="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}log_path=$WORK/sanitizer"
UBSAN_OPTIONS="${UBSAN_OPTIONS:-}${UBSAN_OPTIONS:+:}log_path=$WORK/sanitizer"
export ASAN_OPTIONS UBSAN_OPTIONS

fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/sanitizer*; do
    [ -f "$f" ] && { echo "---- $f ----" >&2; head -n 60 "$f" >&2; }
  done
  echo "---- daemon log (tail) ----" >&2
  tail -n 40 "$LOG" >&2 2>/dev/null || true
  echo "---- host-sim output (tail) ----" >&2
  tail -n 20 "$WORK/hostsim.out" >&2 2>/dev/null || true
  tail -n 20 "$WORK/hostsim.err" >&2 2>/dev/null || true
  exit 1
}

# Waits up to $2 seconds (default 20) for the shell condition $1.
wait_for() {
  cond=$1
  limit=$(( ${2:-20} * 10 ))
  i=0
  while ! eval "$cond" >/dev/null 2>&1; do
    i=$((i + 1))
    [ "$i" -le "$limit" ] || return 1
    sleep 0.1
  done
}

# A private /dev: the real one is shared with the machine, so the port's
# directory must not be created there. A tmpfs over /dev gets the few nodes
# the scenario needs, bound from the real /dev.
private_dev() {
  mkdir -p /tmp/realdev
  mount --rbind /dev /tmp/realdev
  mount -t tmpfs -o mode=0755 none /dev
  for n in null zero random urandom full tty; do
    touch "/dev/$n"
    mount --bind "/tmp/realdev/$n" "/dev/$n"
  done
  mkdir -p /dev/pts /dev/shm /dev/virtio-ports
  mount --bind /tmp/realdev/pts /dev/pts
  ln -s pts/ptmx /dev/ptmx
  mount -t tmpfs -o mode=1777 none /dev/shm
  ln -sf /proc/self/fd /dev/fd
}

# A private, writable /etc: an overlay whose changes land on the namespace's
# /tmp, so a scenario can put settings files in place while the machine's own
# /etc stays exactly as it is.
private_etc() {
  mkdir -p "$WORK/etc-upper" "$WORK/etc-work"
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$WORK/etc-upper,workdir=$WORK/etc-work" /etc
}

# The desktop agent's unit is not installed here: a systemctl that knows no
# unit, first on PATH, so the daemon does not wait for the shared-memory object.
no_desktop_unit() {
  mkdir -p "$WORK/bin"
  printf '#!/bin/sh\nexit 1\n' > "$WORK/bin/systemctl"
  chmod +x "$WORK/bin/systemctl"
  PATH=$WORK/bin:$PATH
  export PATH
}

setup() {
  mkdir -p "$WORK/out"
  private_dev
  no_desktop_unit
  CUPS_SERVER=/run/cups/cups.sock
  export CUPS_SERVER
  "$e2e_lib/cupsd-start" "zefa-prt=$BACKEND" || fail "cupsd did not start"
  cat > "$WORK/printers.json" <<'JSON'
{"meta":{"platform":"e2e","print-file-format":"pdf"},
 "devices":[{"name":"office","device-id":"1","printer-info":"Office printer","isDefault":true},
            {"name":"lab","device-id":"2","printer-make-and-model":"Lab Laser"}]}
JSON
}

# start_hostsim <transport> [extra options...]: host-sim reads commands from
# the FIFO $WORK/ctl, held open on descriptor 9 by this shell.
start_hostsim() {
  transport=$1
  shift
  rm -f "$WORK/ctl"
  mkfifo "$WORK/ctl"
  "$HOSTSIM" --transport "$transport" --printers "$WORK/printers.json" --out "$WORK/out" \
    --chunk 65536 "$@" < "$WORK/ctl" > "$WORK/hostsim.out" 2> "$WORK/hostsim.err" &
  HOSTSIM_PID=$!
  exec 9> "$WORK/ctl"
  wait_for "grep -q '^listening' '$WORK/hostsim.out'" 10 || fail "host-sim did not start"
}

hostsim_cmd() { echo "$*" >&9; }

start_daemon() {
  opened=$(grep -c 'socket opened' "$LOG" 2>/dev/null || true)
  "$DAEMON" start || fail "start returned $?"
  wait_for "[ \$(grep -c 'socket opened' '$LOG') -gt ${opened:-0} ]" 20 || fail "daemon did not open its socket"
  wait_for "[ -s '$PIDFILE' ]" 10 || fail "daemon wrote no pid file"
  DAEMON_PID=$(cat "$PIDFILE")
}

# wait_connected [n]: the shared-memory client has connected n times (default 1).
wait_connected() {
  wait_for "[ \$(grep -c '^connected' '$WORK/hostsim.out') -ge ${1:-1} ]" 15 ||
    fail "the daemon did not connect to the host's shared memory"
}

# The usual start of a scenario: cupsd with the two printers, host-sim on
# TRANSPORT (default shm), the daemon connected to it, the queues mirrored.
start_mirrored() {
  setup
  start_hostsim "${1:-shm}"
  start_daemon
  wait_connected
  mirror_printers
}

daemon_alive() { kill -0 "$DAEMON_PID" 2>/dev/null; }

# Mirrors the host's printers and waits for the CUPS queues.
mirror_printers() {
  hostsim_cmd discover
  wait_for "lpstat -v 2>/dev/null | grep -q 'lab' && lpstat -v | grep -q 'office'" 30 ||
    fail "the host's printers did not appear in CUPS: $(lpstat -v 2>&1)"
  lpstat -v | grep -q 'zefa-prt:' || fail "queues do not use the zefa-prt backend: $(lpstat -v)"
}

# print_and_check <file> <queue>: lp the file raw and wait until host-sim
# holds a byte-identical copy.
expect_received() {
  want=$(sha256sum "$1" | cut -d' ' -f1)
  wait_for "grep -q 'sha256=$want' '$WORK/hostsim.out'" "${2:-60}" ||
    fail "no byte-identical copy of $1 (sha256 $want) reached the host"
}

print_file() {
  lp -d "$2" -o raw -t "$(basename "$1")" "$1" > /dev/null || fail "lp of $1 failed"
}

# host-sim learns where a file ends from the daemon's zero padding (the
# announcement carries no size), so test files end in a non-zero byte.
random_file() { head -c $(($2 - 1)) /dev/urandom > "$1" && printf 'E' >> "$1"; }
