#!/usr/bin/env bash
# Runs a discovery test program against a real Avahi daemon, without touching this machine's own
# network or system bus: inside a private network and mount namespace, with a fresh /run, its own
# system bus (dbus-daemon) and its own Avahi daemon on a veth pair whose addresses exist only in
# there.
#
#   tests/discovery/run-in-namespace.sh <test program> [its arguments]
#
# Exits 77 (ctest's "skipped") with the reason where that cannot be made: not root, tools missing,
# or namespaces refused (a container without the rights).
#
# The test program finds in its environment:
#   VORLAX_TEST_SYSTEM_BUS      the address of the namespace's system bus
#   VORLAX_TEST_ADDRESS         the IPv4 address the copies are announced at
#   VORLAX_TEST_AVAHI_CONTROL   a folder: the Avahi daemon runs while the file "avahi-wanted" exists
#                               there; removing it and ending the daemon (its pid is in
#                               /run/avahi-daemon/pid) stops it, creating it starts it again
set -euo pipefail
skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ $# -ge 1 ] || { echo "usage: $0 <test program> [arguments]" >&2; exit 2; }
program="$(realpath "$1")"
shift
address=10.77.0.1

if [ -z "${VORLAX_IN_TEST_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || skip "making a network namespace needs root (CI runs this as root)"
    for tool in unshare ip dbus-daemon avahi-daemon; do
        command -v "$tool" >/dev/null ||
            skip "$tool is missing (scripts/deps.sh --checks installs it)"
    done
    unshare --net --mount true 2>/dev/null || skip "network and mount namespaces cannot be made here"
    exec env VORLAX_IN_TEST_NAMESPACE=1 unshare --net --mount --propagation private \
        bash "$0" "$program" "$@"
fi

# Inside the namespace: nothing below is seen outside it.
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon
work="$(mktemp -d /run/vorlax-discovery-XXXXXX)"

ip link set lo up
ip link add vx0 type veth peer name vx1
ip addr add "$address/24" dev vx0
ip link set vx0 up
ip link set vx1 up

cat >"$work/bus.conf" <<'CONF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
cat >"$work/avahi.conf" <<'CONF'
[server]
host-name=vorlax-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=vx0
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-addresses=yes
CONF

dbus-daemon --config-file="$work/bus.conf" --fork --print-pid=3 3>"$work/bus.pid"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket

# The daemon runs while "avahi-wanted" exists; the test stops and starts it through that file.
touch "$work/avahi-wanted"
(
    while [ ! -e "$work/done" ]; do
        if [ -e "$work/avahi-wanted" ]; then
            avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi.conf" \
                >>"$work/avahi.log" 2>&1 || true
        fi
        sleep 0.05
    done
) &
keeper=$!
cleanup() {
    touch "$work/done"
    rm -f "$work/avahi-wanted"
    [ -s /run/avahi-daemon/pid ] && kill "$(cat /run/avahi-daemon/pid)" 2>/dev/null || true
    wait "$keeper" 2>/dev/null || true
    kill "$(cat "$work/bus.pid")" 2>/dev/null || true
}
trap cleanup EXIT

VORLAX_TEST_SYSTEM_BUS="$DBUS_SYSTEM_BUS_ADDRESS" VORLAX_TEST_ADDRESS="$address" \
    VORLAX_TEST_AVAHI_CONTROL="$work" "$program" "$@" || {
    status=$?
    echo "---- Avahi daemon's log"
    cat "$work/avahi.log" || true
    exit $status
}
