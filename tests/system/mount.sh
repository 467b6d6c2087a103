#!/bin/sh
# A shared folder under systemd: the installed service mounts host-sim's
# request into a user's home, where the user (and everyone outside the
# service, in the machine's own mount namespace) sees it, reads and writes it.
set -eu
. "$(dirname "$0")/lib.sh"
ct_enter "$@"
ct_boot
ct_install "$ORV_DEB"
ct_user alice
ct_login alice
ct_webdav_start
echo "hello from the host" > "$root$CT_WORK/dav/hello.txt"
ct_desktop_user alice
ct_mount_host
ct_mount_request "mount host/share"
mp=/home/alice/davfs/share
wait_for "ct_davfs_mounts | grep -qx '$mp'" 30 ||
  fail "no share at $mp: $(ct findmnt -rn -t fuse,davfs 2>&1)"
status=$(ct_prop quor-mounting-shdir-service StatusText)
[ "$status" = "Serving shared folders: 1 share mounted (alice)" ] || fail "status with a share: '$status'"
# findmnt in a login shell of the user: the mount is in the machine's own
# namespace, not the service's.
ct su -l alice -c "findmnt -rn $mp" | grep -q "$mp" || fail "the user's login shell does not see the share"
got=$(ct su -l alice -c "cat $mp/hello.txt") || fail "the user cannot read the share"
[ "$got" = "hello from the host" ] || fail "read '$got'"
ct su -l alice -c "echo written by alice > $mp/from-alice.txt" || fail "the user cannot write the share"
ct_mount_request "unmount-all"
wait_for "[ -z \"\$(ct_davfs_mounts)\" ]" 60 || fail "unmount-all left: $(ct_davfs_mounts)"
[ "$(cat "$root$CT_WORK/dav/from-alice.txt" 2>/dev/null)" = "written by alice" ] ||
  fail "the user's file did not reach the endpoint"

# ---- purge with a share mounted: stopped cleanly, nothing left behind
ct_mount_request "mount host/share"
wait_for "ct_davfs_mounts | grep -qx '$mp'" 30 || fail "no share for the purge"
ct su -l alice -c "echo before the purge > $mp/before-purge.txt" || fail "write before the purge"
ct dpkg --purge orvanta-guest-agent > "$CT_DIR/purge.log" 2>&1 || { cat "$CT_DIR/purge.log"; fail "dpkg --purge"; }
[ -z "$(ct_davfs_mounts)" ] || fail "a share outlived the purge: $(ct_davfs_mounts)"
ct pgrep -x mount.davfs > /dev/null && fail "a davfs2 daemon outlived the purge"
[ "$(cat "$root$CT_WORK/dav/before-purge.txt" 2>/dev/null)" = "before the purge" ] ||
  fail "what the user wrote before the purge is not on the server"
for p in /run/quor-mounting-shdir-service /home/alice/davfs/share; do
  [ ! -e "$root$p" ] || fail "$p left after the purge"
done
pass "share mounted, seen by the user's login shell, read, written, unmounted with its data; purge unmounts first"
