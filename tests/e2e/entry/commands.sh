#!/bin/sh
# The real cups_zefa_service with its fixed paths (/var/run pid file,
# /var/log/orvanta log): usage, unknown commands, stop and restart with no
# daemon, a stale pid and pid files that hold no usable number.
#   commands.sh <cups_zefa_service>
set -u
daemon=$1
log=/var/log/orvanta/cups_daemon.log
pidfile=/var/run/cups_zefa_service.pid
fail=0

check() {  # check <description> <command...>
  desc=$1; shift
  if "$@"; then :; else echo "FAIL: $desc"; fail=1; fi
}
status_of() { "$@" >/tmp/out 2>&1; echo $?; }
has_line() { grep -qF "] [$1] $2" "$log"; }

check "no argument exits 255" [ "$(status_of "$daemon")" = 255 ]
check "usage printed on stdout" [ "$(cat /tmp/out)" = "Need to specify command: start, stop, restart" ]
check "two arguments exit 255" [ "$(status_of "$daemon" start stop)" = 255 ]
check "usage logged" has_line ERROR "Need to specify command: start, stop, restart"

check "START is unknown, exit 0" [ "$(status_of "$daemon" START)" = 0 ]
check "Unknown arg logged" has_line ERROR "Unknown arg"

check "stop without pid file exits 0" [ "$(status_of "$daemon" stop)" = 0 ]
check "Daemon already stopped logged" has_line ERROR "Daemon already stopped"

check "restart without pid file exits 0" [ "$(status_of "$daemon" restart)" = 0 ]
check "restart failure logged" has_line ERROR "Unable to restart. Daemon isn't running"
check "restart started nothing" sh -c "! grep -q 'Starting Orvanta Cups Daemon' $log"

# A stale pid: kill fails quietly, the pid file goes, exit 0.
sleep 100 & victim=$!
kill -9 $victim; wait $victim 2>/dev/null
printf '%s' "$victim" > "$pidfile"
check "stop with a stale pid exits 0" [ "$(status_of "$daemon" stop)" = 0 ]
check "stale pid file removed" [ ! -e "$pidfile" ]

# Pid files that hold no positive number are no pid: nothing is signalled
# (kill(0) would hit this very script's process group).
for junk in "" "0" "-1" "abc" "7x"; do
  printf '%s' "$junk" > "$pidfile"
  check "stop with pid file '$junk' exits 0" [ "$(status_of "$daemon" stop)" = 0 ]
done
check "junk pid files left alone" [ -e "$pidfile" ]

# Every line so far came from its own command process: the header's pid.
check "log header shape" grep -qE '^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} [+-][0-9]{4}\] \[PID:[0-9]+\] \[ERROR\] Unknown arg$' "$log"

[ $fail = 0 ] && echo "PASS: entry commands"
exit $fail
