#!/usr/bin/env bash
# The sandbox demo: installs what it needs (scripts/packages.sh), builds telvord and runs a
# whole lockdown VPN connection in network and mount namespaces of its own, with a real
# OpenVPN server in a second namespace and telvorctl in the client's place. The host's
# routes, /etc and /var are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [[ ${1:-} != --inside ]]; then
    [[ $(id -u) == 0 ]] || { echo "demo.sh: run as root (it builds namespaces)" >&2; exit 1; }
    scripts/packages.sh demo
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
mount -t tmpfs -o mode=0700 tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work" "$scratch/pki"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$scratch/upper,workdir=$scratch/work" /etc
mount -t tmpfs -o mode=1777 tmpfs /var/tmp
mount -t tmpfs tmpfs /var/log
mount -t tmpfs tmpfs /run
rm -f /etc/resolv.conf.telvord
printf 'nameserver 192.0.2.53\nsearch example.net\n' > /etc/resolv.conf

telvord=$root/build/src/telvord
telvorctl=$root/build/tools/telvorctl/telvorctl
pki=$scratch/pki
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() {
    echo "-- routes:"
    { ip route; ip -6 route | grep -v '^fe80'; } | sed 's/^/   /'
    echo "-- /etc/resolv.conf:"
    sed 's/^/   /' /etc/resolv.conf; echo
}
cleanup() {
    ip netns pids outside 2>/dev/null | xargs -r kill 2>/dev/null || true
    kill $(jobs -p) 2>/dev/null || true
    wait 2>/dev/null || true
    umount -l "$scratch" 2>/dev/null || true
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT

step "A host with an uplink: 192.0.2.10/24 via 192.0.2.1, 2001:db8::10/64 via fe80::1, and a private LAN 10.8.1.0/24 on the same link"
ip link set lo up
mkdir -p /run/netns
ip netns add outside
ip link add veth0 type veth peer name veth1 netns outside
ip addr add 192.0.2.10/24 dev veth0
ip addr add 10.8.1.10/24 dev veth0
ip addr add 2001:db8::10/64 dev veth0 nodad
ip link set veth0 up
ip netns exec outside sh -ec '
    ip link set lo up
    ip addr add 192.0.2.1/24 dev veth1; ip addr add fe80::1/64 dev veth1 nodad
    ip addr add 10.8.1.1/24 dev veth1     # a printer on the private LAN
    ip link set veth1 up
    ip addr add 198.51.100.7/32 dev lo    # the VPN server
    ip addr add 203.0.113.5/32 dev lo     # somewhere on the internet'
ip route add default via 192.0.2.1
ip -6 route add default via fe80::1 dev veth0
show

step "Throwaway certificates, and an OpenVPN server at 198.51.100.7 in the namespace 'outside'"
"$root/scripts/throwaway_pki.sh" "$pki"
ip netns exec outside openvpn --mode server --tls-server --dev tun0 --proto udp \
    --local 198.51.100.7 --port 1194 --server 10.8.0.0 255.255.255.0 --topology subnet \
    --server-ipv6 fd42::/64 --ca "$pki/ca.crt" --cert "$pki/server.crt" --key "$pki/server.key" \
    --dh none --disable-dco --verb 1 --log "$scratch/server.log" --daemon
echo "server started"

step "Start telvord with lockdown=true in /etc/telvor.clientd.conf"
printf 'debuglogging=true\nstartupOpenVpn=true\nlockdown=true\n' > /etc/telvor.clientd.conf
# The route programs and OpenVPN write their own messages to the daemon's standard streams.
"$telvord" >"$scratch/telvord.out" 2>&1 &
for _ in $(seq 100); do [[ -s /var/tmp/telvor.clientd.port ]] && break; sleep 0.05; done
sleep 0.2
echo "port file: $(cat /var/tmp/telvor.clientd.port)"
echo "(no default route through 192.0.2.1 any more; IPv6 is blackholed)"
show

step "telvorctl prepareforconnect serveraddress 198.51.100.7 dnsaddress 198.51.100.53"
"$telvorctl" prepareforconnect serveraddress 198.51.100.7 dnsaddress 198.51.100.53
show

step "telvorctl path /usr/sbin/openvpn commandline 'openvpn --client ...'"
"$telvorctl" path /usr/sbin/openvpn commandline "openvpn --client --dev tun --proto udp \
--remote 198.51.100.7 1194 --ca $pki/ca.crt --cert $pki/client.crt --key $pki/client.key \
--nobind --disable-dco --verb 1"
for _ in $(seq 100); do ip -4 addr show tun0 2>/dev/null | grep -q 'inet 10.8.0.2' && break; sleep 0.1; done
ip -brief addr show tun0

step "The tunnel is up: connectionsuccesful connectionsuccesful4 10.8.0.1 connectionsuccesful6 fd42::1 replacedns 10.8.0.1"
"$telvorctl" connectionsuccesful connectionsuccesful4 10.8.0.1 connectionsuccesful6 fd42::1 replacedns 10.8.0.1
show
echo "-- ip route get 203.0.113.5:"; ip route get 203.0.113.5 | sed 's/^/   /'

step "A foreign default route appears (ip route add default via 192.0.2.1 metric 5)"
ip route add default via 192.0.2.1 metric 5
sleep 0.5
show

step "OpenVPN dies (SIGKILL): the daemon closes the connection, the kill switch holds"
pid=$(sed -n 's/.*OpenVpn started with PID \([0-9]*\)$/\1/p' /var/log/telvor.clientd.log | tail -1)
kill -KILL "$pid"
for _ in $(seq 50); do grep -q 'Disabling LockDown Mode' /var/log/telvor.clientd.log && break; sleep 0.1; done
sleep 0.3
show
echo "-- ip route get 203.0.113.5:"; { ip route get 203.0.113.5 2>&1 || true; } | sed 's/^/   /'

step "A hostile DHCP server's routes: 0.0.0.0/1 and 128.0.0.0/1 via 192.0.2.1 (option 121)"
# They are not default routes, so the kill switch's rules let the main table use them; the
# packet filter guard refuses what they would carry. The far side counts what arrives.
ip netns exec outside nft -f - <<'RULES'
table inet demo {
    counter internet {}
    counter lan {}
    chain input {
        type filter hook input priority filter; policy accept;
        udp dport 9 ip daddr 203.0.113.5 counter name "internet"
        udp dport 9 ip daddr 10.8.1.1 counter name "lan"
    }
}
RULES
ip route add 0.0.0.0/1 via 192.0.2.1
ip route add 128.0.0.0/1 via 192.0.2.1
echo "-- ip route get 203.0.113.5:"; ip route get 203.0.113.5 | sed 's/^/   /'
for _ in $(seq 20); do { echo leak >/dev/udp/203.0.113.5/9; } 2>/dev/null || true; done
for _ in $(seq 5); do { echo lan >/dev/udp/10.8.1.1/9; } 2>/dev/null || true; done
sleep 0.2
arrived() { ip netns exec outside nft list counter inet demo "$1" | sed -n 's/.*packets \([0-9]*\).*/\1/p'; }
echo "-- arrived on the far side: $(arrived internet) of 20 datagrams to 203.0.113.5," \
    "$(arrived lan) of 5 to the LAN's 10.8.1.1"
echo "-- telvorctl status:"
"$telvorctl" status | grep -E '^(Mode|Kill switch|Guard):' | sed 's/^/   /'
ip route del 0.0.0.0/1 via 192.0.2.1
ip route del 128.0.0.0/1 via 192.0.2.1

step "telvorctl disablelockdown: the physical default routes come back"
"$telvorctl" disablelockdown
show

step "The daemon's debug log (route watcher details left out)"
grep -v -e 'Got ' -e 'Closing route' -e '^$' /var/log/telvor.clientd.log | sed 's/^/   /'
