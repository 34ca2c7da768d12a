#!/usr/bin/env bash
# The package on a desktop host: NetworkManager manages the container's uplink, with DHCP from a
# dnsmasq on the LAN that has the lease renewed every few seconds and router advertisements
# from a radvd there, and writes the resolver file itself (DNS_MODE "file") or hands DNS to
# systemd-resolved (DNS_MODE "resolved"). A real tunnel launched through the daemon in lockdown
# must keep carrying traffic and resolving through the tunnel's DNS server, with no query
# reaching the LAN's server and no datagram leaving outside the tunnel, across lease renewals,
# "nmcli device reapply", "nmcli connection up" and "nmcli networking off" and "on" (what a
# suspend and resume do). apt remove must leave the routes and the resolver as NetworkManager
# had them. container_lib.sh says how the container is made.
#
# Usage: container_network_manager_test.sh BUILD_DIR SCRATCH_PARENT CPACK SOURCE_DIR DNS_MODE
set -euo pipefail

build=$1 scratch_parent=$2 cpack=$3 source=$4 dns_mode=$5
# shellcheck source=container_lib.sh
. "$(dirname "$0")/container_lib.sh"
[[ $dns_mode == file || $dns_mode == resolved ]] || die "DNS_MODE is file or resolved, not '$dns_mode'"

check() { # description command...: passes when the command succeeds
    local description=$1
    shift
    if "$@"; then pass "$description"; else fail "$description"; fi
}

container_prerequisites
container_rootfs
container_prepare

# --- NetworkManager's configuration ------------------------------------------------------------
install -d -m 0755 "$root/etc/NetworkManager/conf.d"
install -d -m 0700 "$root/etc/NetworkManager/system-connections"
case $dns_mode in
file)
    nm_dns='dns=default
rc-manager=file'
    ln -sfn /dev/null "$root/etc/systemd/system/systemd-resolved.service"
    rm -f "$root/etc/resolv.conf"
    : >"$root/etc/resolv.conf"
    ;;
resolved)
    nm_dns='dns=systemd-resolved'
    ln -sfn ../run/systemd/resolve/stub-resolv.conf "$root/etc/resolv.conf"
    ;;
esac
cat >"$root/etc/NetworkManager/conf.d/test.conf" <<EOF
[main]
$nm_dns
no-auto-default=*
EOF
nm_uplink_profile auto
# What counts the datagrams that arrive on the LAN's side. One for a destination beyond the LAN
# (none of its prefixes, no link-scope multicast or broadcast) but the VPN server's OpenVPN port
# is a leak, be it one of the test's own to the internet or anything else; traffic within the
# LAN the guard lets pass. Those to 203.0.113.5 from the VPN server's tunnel are what the tunnel
# carried.
cat >"$root/root/count.nft" <<'EOF'
table inet count {
    counter leaked4 {}
    counter leaked6 {}
    counter tunnelled {}
    chain prerouting {
        type filter hook prerouting priority -400; policy accept;
        iifname "tun0" ip daddr 203.0.113.5 udp dport 9 counter name tunnelled
        iifname != "veth1" return
        ip daddr 198.51.100.7 udp dport 1194 return
        ip daddr != { 192.0.2.0/24, 224.0.0.0/4, 255.255.255.255 } counter name leaked4
        ip6 daddr != { 2001:db8:1::/64, fe80::/10, ff00::/8 } counter name leaked6
    }
}
EOF
cat >"$root/root/radvd.conf" <<'EOF'
interface veth1 {
    AdvSendAdvert on;
    MinRtrAdvInterval 3;
    MaxRtrAdvInterval 6;
    AdvDefaultLifetime 60;
    prefix 2001:db8:1::/64 {
        AdvValidLifetime 120;
        AdvPreferredLifetime 60;
    };
};
EOF
elapsed "copy ready"
container_boot

# --- The LAN: DHCP with renewals every few seconds, router advertisements, DNS ----------------
container_outside
inside bash -euc '
    ip netns exec outside sh -ec "
        ip addr add 2001:db8:1::1/64 dev veth1
        ip addr add 2001:db8:ffff::1/128 dev lo
        echo 1 >/proc/sys/net/ipv6/conf/all/forwarding
        nft -f /root/count.nft
        radvd --config /root/radvd.conf --pidfile /root/radvd.pid --logmethod logfile \
            --logfile /root/radvd.log
        # Leases of two minutes, the shortest dnsmasq gives, renewed after 8 s.
        dnsmasq --conf-file=/dev/null --port=0 --pid-file= --user=root --group=root \
            --bind-interfaces --interface=veth1 --dhcp-authoritative \
            --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,2m \
            --dhcp-option=option:dns-server,192.0.2.53 --domain=lan \
            --dhcp-option=option:T1,8 --dhcp-option=option:T2,12 \
            --dhcp-leasefile=/root/dhcp.leases --log-dhcp --log-facility=/root/dhcp.log"'
lan_dns_server
uplink_ready() {
    has_route '^default via 192\.0\.2\.1 dev veth0 proto dhcp src 192\.0\.2\.1[0-9][0-9] ' &&
        [[ $(inside ip -6 route show default) == *'proto ra'* ]] &&
        inside grep -q 'lan' /etc/resolv.conf
}
poll 60 uplink_ready && pass "NetworkManager configured the uplink from DHCP and the router" ||
    die "NetworkManager did not configure the uplink: $(routes; inside ip -6 route; inside nmcli device; inside cat /etc/resolv.conf)"
# What NetworkManager made of the network, for apt remove to leave as it was.
routes6() { inside ip -6 route show | sed -E 's/ expires [0-9]+sec//'; }
routes_before=$(routes) routes6_before=$(routes6)
inside cp -P /etc/resolv.conf /root/resolv.conf.link
inside cp /etc/resolv.conf /root/resolv.conf.before
[[ $dns_mode == resolved ]] && resolved_before=$(resolved_links)
elapsed "uplink configured"

install_package
connect_in_lockdown
tunnel_managed() { inside nmcli -g GENERAL.NM-MANAGED device show tun0; }
[[ $(tunnel_managed) == no ]] && pass "NetworkManager leaves the tunnel alone while connected" ||
    fail "NetworkManager manages the tunnel: $(inside nmcli device)"
elapsed "connected"

# --- What the tunnel must survive ----------------------------------------------------------------
counted() { inside ip netns exec outside nft list counter inet count "$1" | awk '/packets/ {print $2}'; }
inside ip netns exec outside nft reset counters table inet count >/dev/null # from here on
# Datagrams to the internet, sent all along: each crosses the uplink only inside the tunnel. A
# unit of the container's, so that nothing of it outlives the container.
inside systemd-run --quiet --unit=sender bash -c 'while :; do
        echo leak 2>/dev/null >/dev/udp/203.0.113.5/9
        echo leak 2>/dev/null >/dev/udp/2001:db8:ffff::1/9
        sleep 0.05
    done'
acks() { inside grep -c DHCPACK /root/dhcp.log || true; }

# The VPN server's host route through the uplink; the DNS server's went at connectionsuccesful.
server_route=(198.51.100.7 via 192.0.2.1 dev veth0)
server_route_kept() { grep -qF "${server_route[*]} " <<<"$(routes)"; }
survived() { # event: the tunnel carries traffic and names resolve through it after the event
    local event=$1 before
    # NetworkManager deletes it with its device's routes; the route watchers put it back.
    check "the VPN server's host route is kept across $event" poll 5 server_route_kept
    check "the tunnel keeps its address and routes across $event" \
        poll 10 eval 'inside ip -4 addr show tun0 | grep -q "inet 10\.8\.0\.2/" && has_route "^default via 10\.8\.0\.1 dev tun0"'
    before=$(counted tunnelled)
    check "traffic goes through the tunnel after $event" \
        poll 30 eval '(( $(counted tunnelled) > before )) && tls_through_tunnel 2'
    check "names resolve through the tunnel's server after $event" \
        poll 10 resolves test.example 203.0.113.9
    check "the LAN's DNS server got no query up to $event" \
        test "$(lan_queries)" == "$lan_before"
    elapsed "$event"
}

acks_before=$(acks)
poll 40 eval '(( $(acks) >= acks_before + 2 ))' && pass "NetworkManager renewed the lease twice" ||
    fail "NetworkManager renewed no lease: $(inside tail -n 5 /root/dhcp.log)"
survived renewals
inside nmcli device reapply veth0 >/dev/null
survived reapply
inside nmcli connection up uplink >/dev/null
survived connection-up
# What a suspend and resume do to NetworkManager.
sleep_and_resume() {
    inside nmcli networking off
    sleep 1
    inside nmcli networking on
    poll 30 eval '[[ $(inside nmcli -g GENERAL.STATE device show veth0) == 100* ]]' ||
        fail "NetworkManager did not bring the uplink back: $(inside nmcli device)"
}
sleep_and_resume
survived networking-off-on
# NetworkManager keeps a device's Managed property across its own restart.
inside systemctl restart NetworkManager
poll 10 eval '[[ $(tunnel_managed) == no ]]' &&
    pass "a restarted NetworkManager still leaves the tunnel alone" ||
    fail "a restarted NetworkManager took the tunnel: $(inside nmcli device)"
sleep_and_resume
survived restart-off-on

inside systemctl stop sender
leaked4=$(counted leaked4) leaked6=$(counted leaked6)
[[ $leaked4 == 0 && $leaked6 == 0 ]] && pass "no datagram left outside the tunnel" ||
    fail "datagrams left outside the tunnel: $leaked4 (IPv4), $leaked6 (IPv6)"
echo "the tunnel carried $(counted tunnelled) of the datagrams"
errors=$(errors)
[[ -z $errors ]] && pass "no error in the journal" || fail "errors in the journal: $errors"

# --- Remove: the network as NetworkManager had it ---------------------------------------------
inside env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q telvord >"$scratch/remove.log" 2>&1 ||
    { cat "$scratch/remove.log" >&2; fail "apt-get remove failed"; }
grep -qx 'Gave tun0 back to NetworkManager' <<<"$(journal)" && pass "the close gave the tunnel back to NetworkManager" ||
    fail "the close did not give the tunnel back: $(journal | grep -i networkmanager)"
poll 10 eval '[[ $(routes) == "$routes_before" ]]' &&
    pass "apt remove left the IPv4 routes as NetworkManager had them, the default route's source included" ||
    fail "IPv4 routes after apt remove:
$(routes)
before:
$routes_before"
poll 10 eval '[[ $(routes6) == "$routes6_before" ]]' &&
    pass "apt remove left the IPv6 routes as NetworkManager had them, without the blackhole" ||
    fail "IPv6 routes after apt remove:
$(routes6)
before:
$routes6_before"
[[ $(inside readlink /etc/resolv.conf) == $(inside readlink /root/resolv.conf.link) ]] &&
    poll 5 inside cmp -s /etc/resolv.conf /root/resolv.conf.before &&
    pass "apt remove left /etc/resolv.conf as NetworkManager had it" ||
    fail "/etc/resolv.conf after apt remove: $(inside ls -l /etc/resolv.conf; inside cat /etc/resolv.conf)"
if [[ $dns_mode == resolved ]]; then
    [[ $(resolved_links) == "$resolved_before" ]] &&
        pass "resolved holds for each link what NetworkManager gave it" ||
        fail "resolved after apt remove: $(resolved_links) (before: $resolved_before)"
fi

purge_package
container_finish "container-network-manager-$dns_mode"
