#!/bin/sh
# How users' shares end under a real systemd: a stop uploads what the user
# wrote and unmounts; a restart and a package upgrade leave the shares mounted
# for the next instance to adopt; a logout unmounts that user's shares; the
# host's unmount-all reaches shares an earlier instance mounted.
set -eu
. "$(dirname "$0")/lib.sh"
ct_enter "$@"
ct_boot
ct_install "$ORV_DEB"
MOUNT=quor-mounting-shdir-service
ct_user alice
ct_user bob
ct_login alice
ct_login bob
ct_webdav_start
dav=$root$CT_WORK/dav
ct_mount_host

# mount_for <user> <folder>: the user is the desktop user, then the host asks.
mount_for() {
  ct_desktop_user "$1"
  ct_mount_request "mount $2"
  wait_for "ct_davfs_mounts | grep -qx '/home/$1/davfs/${2##*/}'" 30 ||
    fail "no share /home/$1/davfs/${2##*/}: $(ct_davfs_mounts)"
}

# write_as <user> <path> <MiB>: random data written by the user, its SHA-256.
write_as() {
  ct su -s /bin/sh "$1" -c "head -c $(( $3 * 1048576 )) /dev/urandom > '$2'" || fail "$1 could not write $2"
  ct sha256sum "$2" | cut -d' ' -f1
}

no_kill_in_journal() {
  ct_journal $MOUNT | grep -E "SIGKILL|Killing process|State 'stop-sigterm' timed out" &&
    fail "the service's stop ended in a kill" || true
}

# ---- stop: 5 MiB written, stop at once; on the server when the stop returns
mount_for alice host/docs
sum=$(write_as alice /home/alice/davfs/docs/report.bin 5)
t0=$(date +%s)
ct systemctl stop $MOUNT || fail "systemctl stop"
took=$(( $(date +%s) - t0 ))
[ "$(ct_prop $MOUNT Result)" = success ] || fail "stop result $(ct_prop $MOUNT Result)"
[ -f "$dav/report.bin" ] && [ "$(sha256sum "$dav/report.bin" | cut -d' ' -f1)" = "$sum" ] ||
  fail "the 5 MiB file is not on the server after the stop"
[ -z "$(ct_davfs_mounts)" ] || fail "shares left after the stop: $(ct_davfs_mounts)"
ct pgrep -x mount.davfs >/dev/null && fail "a davfs2 daemon outlived the stop"
no_kill_in_journal
ct_log "stop: 5 MiB on the server with the same SHA-256 when the stop returned (${took}s)"

# ---- restart: two users' shares stay mounted, readable, and adopted
ct systemctl start $MOUNT
ct_mount_host
echo "kept across restarts" > "$dav/kept.txt"
mount_for alice host/docs
mount_for bob host/music
sum=$(write_as alice /home/alice/davfs/docs/during-restart.bin 5)
ct systemctl restart $MOUNT || fail "systemctl restart"
[ "$(ct systemctl is-active $MOUNT)" = active ] || fail "not active after restart"
for mp in /home/alice/davfs/docs /home/bob/davfs/music; do
  ct_davfs_mounts | grep -qx "$mp" || fail "$mp gone after the restart"
done
[ "$(ct su -s /bin/sh bob -c 'cat /home/bob/davfs/music/kept.txt')" = "kept across restarts" ] ||
  fail "bob's share not readable after the restart"
ct_journal $MOUNT | grep -q "Adopted 2 of 2 shares" || fail "the new instance did not say it adopted the shares"
no_kill_in_journal
ct_log "restart: both shares still mounted and readable"

# ---- upgrade: the package again over the running service
ct_install "$ORV_DEB"
for mp in /home/alice/davfs/docs /home/bob/davfs/music; do
  ct_davfs_mounts | grep -qx "$mp" || fail "$mp gone after the upgrade"
done
ct su -s /bin/sh alice -c 'echo after-upgrade > /home/alice/davfs/docs/after-upgrade.txt' ||
  fail "alice cannot write after the upgrade"
ct_log "upgrade: shares still mounted and writable"

# ---- the host's unmount-all through the instance that adopted them
ct_mount_host
ct_mount_request "unmount-all"
wait_for "[ -z \"\$(ct_davfs_mounts)\" ]" 60 || fail "unmount-all left: $(ct_davfs_mounts)"
for d in /home/alice/davfs/docs /home/bob/davfs/music; do
  wait_for "[ ! -e '$root$d' ]" 15 || fail "$d left after unmount-all"
done
wait_for "[ \"\$(sha256sum '$dav/during-restart.bin' 2>/dev/null | cut -d' ' -f1)\" = $sum ]" 60 ||
  fail "the file written before the restart never reached the server"
[ "$(cat "$dav/after-upgrade.txt")" = after-upgrade ] || fail "the file written after the upgrade is lost"
ct_log "unmount-all: adopted shares gone with their directories; every byte on the server"

# ---- logout: alice's shares go, bob's stay
mount_for alice host/docs
mount_for bob host/music
sum=$(write_as alice /home/alice/davfs/docs/before-logout.bin 1)
ct_logout alice
wait_for "! ct_davfs_mounts | grep -qx /home/alice/davfs/docs" 30 || fail "alice's share outlived her logout"
ct_davfs_mounts | grep -qx /home/bob/davfs/music || fail "bob's share went with alice's logout"
wait_for "[ \"\$(sha256sum '$dav/before-logout.bin' 2>/dev/null | cut -d' ' -f1)\" = $sum ]" 60 ||
  fail "what alice wrote before logging out is not on the server"
ct grep -q 9843 /home/alice/.davfs2/secrets_orvanta 2>/dev/null && fail "alice's credential line outlived her logout"
ct_log "logout: alice's share unmounted with her data on the server; bob's untouched"

# ---- shutdown: the shares are unmounted while the endpoint is still there
sum=$(write_as bob /home/bob/davfs/music/at-shutdown.bin 2)
ct systemctl --no-block poweroff
wait_for "! kill -0 $CT_NSPAWN" 120 || fail "the container did not power off"
[ "$(sha256sum "$dav/at-shutdown.bin" 2>/dev/null | cut -d' ' -f1)" = "$sum" ] ||
  fail "what bob wrote before the shutdown is not on the server"
grep -q "SIGKILL\|Killing" "$CT_DIR/console.log" && ct_log "console: $(grep 'SIGKILL\|Killing' "$CT_DIR/console.log" | head -3)"
CT_PID=
pass "stop, restart, upgrade, unmount-all, logout and shutdown lose no byte"
