# Booted-systemd test bed: a container whose PID 1 is the machine's own
# systemd, with the project's package installed into it the way an
# administrator installs it. Sourced by every scenario under tests/system.
#
# The root is a scratch directory: a copy of /etc, an empty /var holding a
# copy of dpkg's database, and the machine's /usr seen through an overlay so
# that dpkg can write into it while the machine's /usr stays untouched.
# Everything lives in a private mount namespace of the scenario, so the
# overlay and every mount systemd-nspawn makes vanish with it.
#
# A scenario:
#   . "$(dirname "$0")/lib.sh"
#   ct_enter "$@"            # re-runs the script in its own mount namespace
#   ct_boot                  # builds the root, boots it, waits for the boot
#   ct_install "$DEB"        # dpkg -i inside, maintainer scripts and all
#   ct systemctl is-active cups_zefa_service
#   ... ; pass
# ct_teardown runs on exit: poweroff, then nothing of it is left.
#
# Environment: ORV_DEB (the .deb to install), ORV_TOOLS (the build tree whose
# tools/ holds host-sim, host-sim-mount and user-agent); both set by CTest.

CT_TOOLS=/opt/orv-test   # where the build tree appears inside the container
CT_NAME=orvct$$

ct_log() { echo "[$(date +%T)] $*"; }

fail() {
  echo "FAIL: $*" >&2
  if [ -n "${CT_PID:-}" ]; then
    echo "---- journal of the services (tail) ----" >&2
    ct journalctl --no-pager -n 60 -u cups_zefa_service -u quor-mounting-shdir-service >&2 2>/dev/null || true
    echo "---- failed units ----" >&2
    ct systemctl --no-pager list-units --failed >&2 2>/dev/null || true
  fi
  exit 1
}

skip() { echo "SKIP: $*"; exit 77; }

# Waits up to $2 seconds (default 20) for the shell condition $1.
wait_for() {
  _cond=$1
  _limit=$(( ${2:-20} * 10 ))
  _i=0
  while ! eval "$_cond" >/dev/null 2>&1; do
    _i=$((_i + 1))
    [ "$_i" -le "$_limit" ] || return 1
    sleep 0.1
  done
}

# Re-executes the calling script in a private mount namespace, once; skips
# where the machine cannot boot a container at all.
ct_enter() {
  [ "$(id -u)" -eq 0 ] || skip "needs root to boot a container"
  command -v systemd-nspawn >/dev/null 2>&1 || skip "systemd-nspawn is missing (Debian package systemd-container)"
  [ -x /usr/lib/systemd/systemd ] || skip "no systemd to boot"
  [ -f "${ORV_DEB:-}" ] || fail "no package to install: ORV_DEB='${ORV_DEB:-}'"
  if [ -z "${CT_IN_NAMESPACE:-}" ]; then
    CT_IN_NAMESPACE=1 exec unshare --mount --propagation private -- "$0" "$@"
  fi
}

ct_build_root() {
  CT_DIR=$(mktemp -d /var/tmp/orv-ct.XXXXXX)
  root=$CT_DIR/root
  mkdir -p "$root" "$CT_DIR/usr-upper" "$CT_DIR/usr-work"
  (
    cd "$root"
    mkdir -p usr etc var/lib var/log var/cache var/tmp var/spool tmp run proc sys dev home root srv opt mnt media boot
    chmod 1777 tmp var/tmp
    chmod 0700 root
    for d in bin sbin lib lib64 lib32; do
      [ -L "/$d" ] && ln -s "usr/$d" "$d"
    done
    ln -s /run var/run
    ln -s /run/lock var/lock
  )
  cp -a /etc/. "$root/etc/"
  # nspawn recognises an OS tree by its os-release; a plain file, since the
  # machine's is a link into /usr.
  rm -f "$root/etc/os-release"
  cp /usr/lib/os-release "$root/etc/os-release"
  # A machine id of its own, so its journal is not mistaken for the machine's.
  od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$root/etc/machine-id"
  echo >> "$root/etc/machine-id"
  cp -a /var/lib/dpkg "$root/var/lib/"
  mount -t overlay overlay \
    -o "lowerdir=/usr,upperdir=$CT_DIR/usr-upper,workdir=$CT_DIR/usr-work" "$root/usr"
  # A container-image habit of the machine: this script tells dpkg not to
  # start services, which is exactly what the test bed must see happen.
  rm -f "$root/usr/sbin/policy-rc.d"
  # Units of the machine that have no business in the test bed.
  for u in postgresql.service postgresql@.service redis-server.service nginx.service memcached.service docker.service containerd.service; do
    ln -sf /dev/null "$root/etc/systemd/system/$u"
  done
  mkdir -p "$root$CT_TOOLS"
}

# ct_boot: builds the root and boots it; returns once the boot has finished.
ct_boot() {
  ct_build_root
  trap ct_teardown EXIT
  trap 'exit 1' INT TERM
  # --private-network: the container's loopback is its own (the daemons'
  # fixed ports collide with nothing); /dev/fuse for davfs2; the build tree
  # read-only for the stand-ins of the host and the per-user agent.
  systemd-nspawn --boot --quiet --register=no --keep-unit --private-network \
    --machine="$CT_NAME" --directory="$root" --console=passive \
    --bind=/dev/fuse --bind-ro="${ORV_TOOLS:-/nonexistent}:$CT_TOOLS" \
    > "$CT_DIR/console.log" 2>&1 &
  CT_NSPAWN=$!
  wait_for "ct_find_init" 30 || { cat "$CT_DIR/console.log" >&2; fail "the container did not start"; }
  # systemctl answers once PID 1's private socket is up; is-system-running
  # --wait then returns when the boot job queue is empty.
  wait_for "ct test -S /run/systemd/private" 30 || fail "systemd in the container never answered"
  state=$(ct timeout 120 systemctl is-system-running --wait 2>/dev/null || true)
  case $state in
    running|degraded) ;;
    *) fail "the container did not finish booting (state '$state')" ;;
  esac
  ct_log "container booted ($state), pid 1 is $CT_PID on the machine"
}

# The container's PID 1 is the only child of systemd-nspawn.
ct_find_init() {
  CT_PID=$(cat "/proc/$CT_NSPAWN/task/$CT_NSPAWN/children" 2>/dev/null | awk '{print $1}')
  [ -n "$CT_PID" ] && [ "$(cat "/proc/$CT_PID/comm" 2>/dev/null)" = systemd ]
}

# ct <command...>: runs a command inside the container, in all its
# namespaces, with a clean environment.
ct() {
  nsenter -t "$CT_PID" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root "$@"
}

# ct_bg <logfile> <command...>: the same, in the background; CT_BG is its pid.
ct_bg() {
  _out=$1; shift
  ct "$@" > "$_out" 2>&1 &
  CT_BG=$!
}

# ct_install <deb>: installs a package file inside as an administrator would.
ct_install() {
  cp "$1" "$root/var/tmp/"
  ct dpkg -i "/var/tmp/$(basename "$1")" > "$CT_DIR/dpkg.log" 2>&1 ||
    { cat "$CT_DIR/dpkg.log" >&2; fail "dpkg -i $(basename "$1") failed"; }
}

# ct_journal <unit>: the unit's journal of this boot, plain messages.
ct_journal() { ct journalctl --no-pager -b -o cat -u "$1"; }

# ct_prop <unit> <property>: one property's value.
ct_prop() { ct systemctl show -P "$2" "$1"; }

ct_teardown() {
  set +e
  trap - EXIT
  if [ -n "${CT_NSPAWN:-}" ] && kill -0 "$CT_NSPAWN" 2>/dev/null; then
    [ -n "${CT_PID:-}" ] && ct systemctl --no-block poweroff >/dev/null 2>&1
    wait_for "! kill -0 $CT_NSPAWN" 60 || { kill -KILL "$CT_NSPAWN"; wait "$CT_NSPAWN"; }
  fi
  if [ -n "${CT_DIR:-}" ]; then
    umount -R "$CT_DIR/root/usr" 2>/dev/null
    case $CT_DIR in /var/tmp/orv-ct.*) rm -rf "$CT_DIR" ;; esac
  fi
}

pass() { ct_log "PASS: $*"; exit 0; }
