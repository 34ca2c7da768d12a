#!/usr/bin/env bash
# The sandbox demo: builds telvord and runs it in network and mount namespaces of its own,
# driven by telvorctl. The host's routes, /etc and /var are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [[ ${1:-} != --inside ]]; then
    [[ $(id -u) == 0 ]] || { echo "demo.sh: run as root (it builds namespaces)" >&2; exit 1; }
    cmake --preset default >/dev/null
    cmake --build --preset default --target telvord telvorctl
    DEMO_HOST_NET=$(readlink /proc/self/ns/net) exec unshare --net --mount --propagation private "$0" --inside
fi

# --- inside fresh namespaces from here on ---------------------------------------------------
interfaces=$(ip -o link show | awk -F': ' '{print $2}')
if [[ $interfaces != lo || $(readlink /proc/self/ns/net) == "${DEMO_HOST_NET:-}" ]]; then
    echo "demo.sh: not in a fresh network namespace (found: $interfaces); refusing" >&2
    exit 1
fi
scratch=$(mktemp -d /tmp/telvord-demo.XXXXXX)
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$scratch/upper,workdir=$scratch/work" /etc
mount -t tmpfs -o mode=1777 tmpfs /var/tmp
mount -t tmpfs tmpfs /var/log
mount -t tmpfs tmpfs /run
rm -f /etc/telvor.clientd.conf /etc/resolv.conf.telvord
printf 'nameserver 192.0.2.53\n' > /etc/resolv.conf

telvord=$root/build/src/telvord
telvorctl=$root/build/tools/telvorctl/telvorctl
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() {
    echo "-- routes:"; ip route | sed 's/^/   /'; ip -6 route | grep -v '^fe80' | sed 's/^/   /'
    echo "-- /etc/resolv.conf:"; sed 's/^/   /' /etc/resolv.conf; echo
}
cleanup() { kill "$(jobs -p)" 2>/dev/null || true; wait 2>/dev/null || true; rmdir "$scratch" 2>/dev/null || true; }
trap cleanup EXIT

step "A host with an uplink: 192.0.2.10/24 via 192.0.2.1, 2001:db8::10/64 via fe80::1"
ip link set lo up
mkdir -p /run/netns
ip netns add outside
ip link add veth0 type veth peer name veth1 netns outside
ip addr add 192.0.2.10/24 dev veth0
ip addr add 2001:db8::10/64 dev veth0 nodad
ip link set veth0 up
ip netns exec outside sh -ec 'ip link set lo up; ip addr add 192.0.2.1/24 dev veth1;
    ip addr add fe80::1/64 dev veth1 nodad; ip link set veth1 up'
ip route add default via 192.0.2.1
ip -6 route add default via fe80::1 dev veth0
show

step "Start telvord"
"$telvord" &
for _ in $(seq 100); do [[ -s /var/tmp/telvor.clientd.port ]] && break; sleep 0.05; done
echo "port file: $(cat /var/tmp/telvor.clientd.port)"

step "telvorctl enableforced prepareforconnect serveraddress 198.51.100.7"
"$telvorctl" enableforced prepareforconnect serveraddress 198.51.100.7
show

step "telvorctl replacedns 10.8.0.1"
"$telvorctl" replacedns 10.8.0.1
show

step "telvorctl restoredns clientshutdown"
"$telvorctl" restoredns clientshutdown
show

step "The daemon's debug log"
sed 's/^/   /' /var/log/telvor.clientd.log
