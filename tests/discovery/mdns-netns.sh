#!/usr/bin/env bash
# Runs a program on a network of the test's own: two network namespaces joined by one veth
# pair, each with a D-Bus system bus and an avahi-daemon of its own that use only that veth,
# in a mount namespace whose /run is private. The program runs in the client namespace with
# that namespace's bus; `$TESSEL_SERVER_NS <command>` runs a command in the server namespace
# with its bus, and `$TESSEL_SERVER_NS_AVAHI stop|start` stops or starts the server side's
# avahi-daemon. Nothing here touches this machine's own interfaces or daemons.
#
# Usage: mdns-netns.sh <program> [arguments]
# Exit 77 (CTest's "skipped") with the reason when the namespaces cannot be made.
set -euo pipefail

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ $# -ge 1 ] || { echo "usage: $0 <program> [arguments]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root"
for tool in ip unshare mount avahi-daemon dbus-daemon avahi-browse; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
done

run=$(mktemp -d "${TMPDIR:-/tmp}/tessel-mdns.XXXXXX")
# Interface names hold at most 15 characters.
tag=$(printf '%x' $$)
ns_server="tessel-s-$tag" ns_client="tessel-c-$tag"
veth_server="tsv${tag}s" veth_client="tsv${tag}c"

cleanup() {
  for pidfile in "$run"/*/*.pid; do
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
  done
  ip netns del "$ns_server" 2>/dev/null || true
  ip netns del "$ns_client" 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT

ip netns add "$ns_server" 2>"$run/why" || skip "cannot make a network namespace: $(cat "$run/why")"
ip netns add "$ns_client"
ip link add "$veth_server" type veth peer name "$veth_client" 2>"$run/why" ||
  skip "cannot make a veth pair: $(cat "$run/why")"
# Moving the ends away at once leaves nothing of the test on this machine's own network.
ip link set "$veth_server" netns "$ns_server"
ip link set "$veth_client" netns "$ns_client"

# side namespace veth address host-name
set_up_side() {
  local dir="$run/$1"
  mkdir -p "$dir"
  ip -n "$2" link set lo up
  ip -n "$2" addr add "$4/24" dev "$3"
  ip -n "$2" link set "$3" up
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
  cat >"$dir/avahi.conf" <<CONF
[server]
host-name=$5
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=$3
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
CONF
  # The daemons' runtime folders (/run/dbus, /run/avahi-daemon) are private to them.
  cat >"$dir/avahi" <<CONF
#!/bin/sh
case "\$1" in
  stop) kill "\$(cat $dir/avahi.pid)"; while kill -0 "\$(cat $dir/avahi.pid)" 2>/dev/null; do sleep 0.05; done ;;
  start)
    ip netns exec $2 unshare -m --propagation private sh -c '
      mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon &&
      DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/bus exec avahi-daemon -f $dir/avahi.conf --no-drop-root --no-chroot --no-rlimits' \
      </dev/null >>$dir/avahi.log 2>&1 &
    echo \$! >$dir/avahi.pid
    # Up once it owns its name on the bus.
    for _ in \$(seq 100); do
      grep -q "Server startup complete" $dir/avahi.log 2>/dev/null && exit 0
      sleep 0.05
    done
    echo "avahi-daemon of $1 did not start:" >&2; cat $dir/avahi.log >&2; exit 1 ;;
esac
CONF
  chmod +x "$dir/avahi"
  ip netns exec "$2" unshare -m --propagation private sh -c "
    mount -t tmpfs tmpfs /run && mkdir -p /run/dbus &&
    exec dbus-daemon --config-file=$dir/bus.conf --nofork --nopidfile" \
    </dev/null >"$dir/dbus.log" 2>&1 &
  echo $! >"$dir/dbus.pid"
  for _ in $(seq 100); do [ -S "$dir/bus" ] && break; sleep 0.05; done
  [ -S "$dir/bus" ] || { echo "dbus-daemon of $1 did not start:"; cat "$dir/dbus.log"; exit 1; }
  "$dir/avahi" start
  printf '#!/bin/sh\nexec ip netns exec %s env DBUS_SYSTEM_BUS_ADDRESS=unix:path=%s/bus "$@"\n' \
    "$2" "$dir" >"$dir/enter"
  chmod +x "$dir/enter"
}

set_up_side server "$ns_server" "$veth_server" 10.213.0.1 tessel-server
set_up_side client "$ns_client" "$veth_client" 10.213.0.2 tessel-client

export TESSEL_TEST_SYSTEM_BUS="unix:path=$run/client/bus"
export TESSEL_SERVER_NS="$run/server/enter"
export TESSEL_SERVER_NS_AVAHI="$run/server/avahi"
status=0
"$run/client/enter" "$@" || status=$?
if [ "$status" -ne 0 ]; then
  for log in "$run"/*/avahi.log; do echo "== $log"; cat "$log"; done
fi
exit "$status"
