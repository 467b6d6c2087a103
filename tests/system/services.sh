#!/bin/sh
# Both services under a real systemd, installed from the package: started and
# enabled by the package's maintainer scripts, ready only when they serve,
# stopped cleanly, restarted after a freeze by the watchdog, restarted by an
# upgrade, and gone without a trace after a purge.
set -eu
. "$(dirname "$0")/lib.sh"
ct_enter "$@"
ct_boot

PRINT=cups_zefa_service
MOUNT=quor-mounting-shdir-service

# ---- install
ct_install "$ORV_DEB"
for u in $PRINT $MOUNT; do
  [ "$(ct systemctl is-active $u)" = active ] || fail "$u not active after installation"
  [ "$(ct systemctl is-enabled $u)" = enabled ] || fail "$u not enabled for boot"
  [ "$(ct_prop $u Type)" = notify ] || fail "$u is not a notify service"
done
# Active means ready, and ready means the backend port accepts: no wait.
ct_port_open 4848 || fail "print daemon active but 127.0.0.1:4848 does not accept"
status=$(ct_prop $PRINT StatusText)
case $status in
  "Waiting for the host channel"*) ;;
  *) fail "print daemon's status without a host: '$status'" ;;
esac
status=$(ct_prop $MOUNT StatusText)
case $status in
  "Serving shared folders"*) ;;
  *) fail "mount service's status: '$status'" ;;
esac
ct systemctl status --no-pager $PRINT | grep -q "Status: \"Waiting for the host channel" ||
  fail "systemctl status shows no status line: $(ct systemctl status --no-pager $PRINT)"
# The print daemon's own log, with the mode and group README gives it.
log=/var/log/orvanta/cups_daemon.log
wait_for "grep -q 'Starting Orvanta Cups Daemon' '$root$log'" 10 || fail "no start line in $log"
[ "$(stat -c '%a %U:%G' "$root$log")" = "640 root:adm" ] || fail "$log is $(stat -c '%a %U:%G' "$root$log")"
ct_log "install: both active and enabled; print status '$(ct_prop $PRINT StatusText)'"

# ---- the host arrives: the status follows
cat > "$CT_DIR/printers.json" <<'JSON'
{"meta":{"platform":"system-test","print-file-format":""},
 "devices":[{"name":"office","device-id":"1","printer-info":"Office printer","isDefault":true}]}
JSON
ct_hostsim_start "$CT_DIR/printers.json"
ct_hostsim_connected 1 30 || fail "the print daemon did not connect to host-sim"
ct_hostsim_cmd discover
wait_for "ct_prop $PRINT StatusText | grep -q 'Serving the host over the shared memory; 1 printer mirrored'" 30 ||
  fail "status after the host's list: '$(ct_prop $PRINT StatusText)'"
ct_log "host: status '$(ct_prop $PRINT StatusText)'"

# ---- stop and restart: exit 0 within the timeout, never a SIGKILL
for u in $PRINT $MOUNT; do
  pid=$(ct_prop $u MainPID)
  t0=$(date +%s)
  ct systemctl stop $u || fail "systemctl stop $u"
  took=$(( $(date +%s) - t0 ))
  [ "$(ct systemctl is-active $u || true)" = inactive ] || fail "$u not inactive after stop"
  [ "$(ct_prop $u Result)" = success ] || fail "$u stop result: $(ct_prop $u Result)"
  [ "$(ct_prop $u ExecMainStatus)" = 0 ] || fail "$u exit status $(ct_prop $u ExecMainStatus)"
  [ "$took" -lt 15 ] || fail "$u took $took s to stop"
  ct systemctl restart $u || fail "systemctl restart $u"
  [ "$(ct systemctl is-active $u)" = active ] || fail "$u not active after restart"
  [ "$(ct_prop $u MainPID)" != "$pid" ] || fail "$u kept its process over a restart"
  ct_log "stop+restart $u: stopped in ${took}s, exit 0"
done
ct_port_open 4848 || fail "backend port closed after restart"
ct_hostsim_connected 2 30 || fail "the restarted print daemon did not reconnect"
ct_journal $PRINT | grep -E "SIGKILL|Killing|timed out" && fail "a stop ended in a kill"
ct_journal $MOUNT | grep -E "SIGKILL|Killing|timed out" && fail "a stop ended in a kill"

# ---- watchdog: a frozen event loop is restarted by systemd
wd=$(ct_prop $PRINT WatchdogUSec)
pid=$(ct_prop $PRINT MainPID)
ct kill -STOP "$pid"
t0=$(date +%s)
limit=$(( ${wd%s} + 20 ))
wait_for "[ \"\$(ct_prop $PRINT MainPID)\" != $pid ] && [ \"\$(ct_prop $PRINT MainPID)\" != 0 ]" "$limit" ||
  fail "frozen print daemon not restarted within ${limit}s (WatchdogSec $wd)"
wait_for "[ \"\$(ct systemctl is-active $PRINT)\" = active ]" 20 || fail "print daemon not active after the watchdog"
ct_journal $PRINT | grep -q "Watchdog timeout" || fail "journal does not tell the watchdog fired"
ct_log "watchdog: frozen daemon restarted after $(( $(date +%s) - t0 ))s (WatchdogSec $wd)"

# ---- upgrade: the same package over the running system
pp=$(ct_prop $PRINT MainPID)
mp=$(ct_prop $MOUNT MainPID)
connected=$(grep -c '^connected' "$root$CT_WORK/hostsim.out")
ct_install "$ORV_DEB"
for u in $PRINT $MOUNT; do
  [ "$(ct systemctl is-active $u)" = active ] || fail "$u not active after the upgrade"
done
[ "$(ct_prop $PRINT MainPID)" != "$pp" ] || fail "upgrade did not restart the print daemon"
[ "$(ct_prop $MOUNT MainPID)" != "$mp" ] || fail "upgrade did not restart the mount service"
ct_hostsim_connected $((connected + 1)) 30 || fail "print daemon did not reconnect after the upgrade"
ct_hostsim_cmd discover
wait_for "ct_prop $PRINT StatusText | grep -q '1 printer mirrored'" 30 || fail "no printer list after the upgrade"
ct_log "upgrade: both restarted and serving"

# ---- purge: stopped, disabled, and nothing left
touch "$root/var/spool/orvanta-print/job-1-leftover"
ct dpkg --purge orvanta-guest-agent > "$CT_DIR/purge.log" 2>&1 || { cat "$CT_DIR/purge.log"; fail "dpkg --purge"; }
for u in $PRINT $MOUNT; do
  [ "$(ct systemctl is-active $u || true)" != active ] || fail "$u still active after purge"
  ct systemctl list-unit-files "$u.service" | grep -q "$u" && fail "unit $u still known after purge"
done
for p in /var/spool/orvanta-print /var/log/orvanta /etc/orvanta /lib/systemd/system/$PRINT.service \
         /etc/systemd/system/multi-user.target.wants/$PRINT.service \
         /etc/systemd/system/multi-user.target.wants/$MOUNT.service /run/quor-mounting-shdir-service; do
  [ ! -e "$root$p" ] || fail "$p left after purge"
done
[ -z "$(ct_davfs_mounts)" ] || fail "mounts left after purge: $(ct_davfs_mounts)"
pass "install, status, stop/restart, watchdog, upgrade, purge"
