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
# Environment: ORV_DEB (the .deb to install; else the newest one in
# ORV_DEB_DIR), ORV_TOOLS (the build tree whose tools/ holds host-sim,
# host-sim-mount and user-agent); CTest sets ORV_DEB_DIR and ORV_TOOLS.

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
    # ORV_CT_KEEP=FILE keeps the failed container up until FILE exists.
    if [ -n "${ORV_CT_KEEP:-}" ]; then
      echo "container kept: nsenter -t $CT_PID -a; touch $ORV_CT_KEEP to end" >&2
      while [ ! -e "$ORV_CT_KEEP" ]; do sleep 1; done
    fi
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
  if [ -z "${ORV_DEB:-}" ] && [ -d "${ORV_DEB_DIR:-}" ]; then
    ORV_DEB=$(ls -t "$ORV_DEB_DIR"/orvanta-guest-agent_*.deb 2>/dev/null | head -n 1)
  fi
  [ -f "${ORV_DEB:-}" ] || fail "no package to install: build it with ORV_DEB_DIR=$ORV_DEB_DIR packaging/check-package"
  export ORV_DEB
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
    # A container whose shutdown hangs is ended whole: SIGKILL to its PID 1
    # ends every process of its pid namespace, then nspawn itself.
    if ! wait_for "! kill -0 $CT_NSPAWN" 60; then
      echo "container did not power off; killing it" >&2
      [ -n "${CT_PID:-}" ] && kill -KILL "$CT_PID" 2>/dev/null
      kill -KILL "$CT_NSPAWN" 2>/dev/null
    fi
    wait "$CT_NSPAWN" 2>/dev/null
  fi
  if [ -n "${CT_DIR:-}" ]; then
    umount -R "$CT_DIR/root/usr" 2>/dev/null
    case $CT_DIR in /var/tmp/orv-ct.*) rm -rf "$CT_DIR" ;; esac
  fi
}

pass() { ct_log "PASS: $*"; exit 0; }

# ---- The stand-ins inside the container ----
# Their files live in /var/tmp/orv inside, which is $root/var/tmp/orv here.
CT_WORK=/var/tmp/orv

ct_work() { mkdir -p "$root$CT_WORK" && chmod 0755 "$root$CT_WORK"; }

# ct_service <name> <command line>: a stand-in run inside the container as a
# transient unit of its systemd, so the container's own service manager
# owns it and takes it down with everything else.
# Extra unit properties may come first: ct_service -p Before=x.service name ...
ct_service() {
  _props=""
  while [ "$1" = -p ]; do _props="$_props --property=$2"; shift 2; done
  _name=$1; shift
  ct systemctl stop "$_name" 2>/dev/null || true
  # shellcheck disable=SC2086
  ct systemd-run --quiet --collect --unit="$_name" --property=KillMode=control-group $_props \
    sh -c "$*" || fail "could not start $_name in the container"
}

# ct_hostsim_start <printers.json>: host-sim as the host's print agent on the
# shared-memory channel; commands go through the FIFO held on descriptor 8.
ct_hostsim_start() {
  ct_work
  cp "$1" "$root$CT_WORK/printers.json"
  mkdir -p "$root$CT_WORK/out"
  rm -f "$root$CT_WORK/ctl"
  mkfifo "$root$CT_WORK/ctl"
  ct_service orv-host-sim "exec $CT_TOOLS/tools/host-sim/print/host-sim --transport shm \
      --printers $CT_WORK/printers.json --out $CT_WORK/out --chunk 65536 \
      < $CT_WORK/ctl > $CT_WORK/hostsim.out 2> $CT_WORK/hostsim.err"
  exec 8<> "$root$CT_WORK/ctl"
  wait_for "grep -q '^listening' '$root$CT_WORK/hostsim.out'" 15 || fail "host-sim did not start"
}

ct_hostsim_cmd() { echo "$*" >&8; }

# ct_hostsim_connected [n]: the daemon has connected n times (default 1).
ct_hostsim_connected() {
  wait_for "[ \$(grep -c '^connected' '$root$CT_WORK/hostsim.out') -ge ${1:-1} ]" "${2:-30}"
}

# ct_received <file>: host-sim holds a byte-identical copy of the file.
ct_received() {
  _want=$(sha256sum "$1" | cut -d' ' -f1)
  wait_for "grep -q 'sha256=$_want' '$root$CT_WORK/hostsim.out'" "${2:-60}"
}

# ct_webdav_start: rclone as the host's WebDAV endpoint on the container's
# loopback, serving $CT_WORK/dav.
ct_webdav_start() {
  ct_work
  mkdir -p "$root$CT_WORK/dav"
  # Ordered like the host agent that serves the endpoint would be: the mount
  # service stops first at shutdown, while the endpoint still answers.
  ct_service -p Before=quor-mounting-shdir-service.service orv-webdav "exec rclone serve webdav $CT_WORK/dav --addr 127.0.0.1:9843 --dir-cache-time 0s > $CT_WORK/rclone.log 2>&1"
  wait_for "ct_port_open 9843" 20 || fail "the WebDAV endpoint did not start"
}

# ct_port_open <port>: something accepts on the container's 127.0.0.1:<port>.
ct_port_open() { ct bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }

# ct_user <name>: a desktop user of the container, home under /home.
ct_user() {
  ct useradd --create-home --shell /bin/sh "$1" || fail "useradd $1"
}

# ct_mount_host: host-sim-mount as the host's mount agent; requests go
# through the FIFO held on descriptor 7, its answers to mounthost.out.
ct_mount_host() {
  ct_work
  exec 7>&-
  rm -f "$root$CT_WORK/mctl" "$root$CT_WORK/mounthost.out"
  mkfifo "$root$CT_WORK/mctl"
  ct_service orv-host-sim-mount "exec $CT_TOOLS/tools/host-sim/mount/host-sim-mount < $CT_WORK/mctl > $CT_WORK/mounthost.out 2>&1"
  exec 7<> "$root$CT_WORK/mctl"
  wait_for "grep -q '^connected' '$root$CT_WORK/mounthost.out'" 20 || fail "host-sim-mount did not connect"
}

# ct_mount_request <line>: one request ("mount host/share", "unmount-all").
ct_mount_request() {
  _sent=$(grep -c '^sent' "$root$CT_WORK/mounthost.out" 2>/dev/null || true)
  echo "$*" >&7
  wait_for "[ \$(grep -c '^sent' '$root$CT_WORK/mounthost.out') -gt ${_sent:-0} ]" 15 ||
    fail "host-sim-mount did not send '$*'"
}

# ct_desktop_user <name>: the per-user agent reports the desktop user. It
# speaks as root, which the service believes for any user.
ct_desktop_user() {
  _uid=$(ct id -u "$1")
  ct "$CT_TOOLS/tools/user-agent/user-agent" --uid "$_uid" --pid 1 > /dev/null ||
    fail "user-agent could not report $1"
}

# ct_davfs_mounts: mount points of the WebDAV endpoint, as PID 1 sees them.
ct_davfs_mounts() { ct findmnt -rn -o TARGET,SOURCE | awk '$2 ~ /9843/ {print $1}'; }

# ct_login <user>: a login session of the user in the container's logind
# (PAM, pam_systemd), held by a transient unit until ct_logout.
ct_login() {
  ct systemd-run --quiet --collect --unit="orv-session-$1" --property=PAMName=login \
    --property=User="$1" sleep infinity || fail "could not open a session for $1"
  wait_for "ct loginctl show-user $1 -P State | grep -qE 'online|active'" 15 ||
    fail "$1 has no session: $(ct loginctl list-sessions --no-legend)"
}

ct_logout() { ct systemctl stop "orv-session-$1"; }
