#!/usr/bin/env bash
# Boots a minimal Debian bookworm under systemd in a container and runs the package there as a
# user gets it: apt installs and starts it, telvorctl drives a lockdown connection with a real
# OpenVPN under the shipped unit, and apt remove and apt purge must leave the container as it
# was. The uplink is configured by hand, and the container runs systemd-resolved as a desktop
# does: the uplink carries the LAN's DNS server, and names must resolve through the tunnel's
# server while connected. container_lib.sh says how the container is made.
#
# Usage: container_test.sh BUILD_DIR SCRATCH_PARENT CPACK SOURCE_DIR
set -euo pipefail

build=$1 scratch_parent=$2 cpack=$3 source=$4
# shellcheck source=container_lib.sh
. "$(dirname "$0")/container_lib.sh"

# What `systemd-analyze security telvord` rates the shipped unit; a rise fails the test.
max_exposure=2.9

container_prerequisites
container_rootfs
container_prepare
# A host whose uplink is configured by hand: NetworkManager stays off.
ln -sfn /dev/null "$root/etc/systemd/system/NetworkManager.service"
ln -sfn /dev/null "$root/etc/systemd/system/NetworkManager-wait-online.service"
# As resolved's package leaves it: the resolver file is resolved's stub file.
ln -sfn ../run/systemd/resolve/stub-resolv.conf "$root/etc/resolv.conf"
elapsed "copy ready"
container_boot

container_outside
inside bash -euc '
    ip addr add 192.0.2.10/24 dev veth0
    ip link set veth0 up
    ip route add default via 192.0.2.1
    # What a network manager tells resolved about the uplink: the LAN server and its domain.
    resolvectl dns veth0 192.0.2.53
    resolvectl domain veth0 lan'

resolved_as_before() { [[ $(resolved_links) == "$resolved_before" ]]; }
lan_dns_server
poll 10 inside grep -qx 'search lan' /etc/resolv.conf || die "resolved did not take up the LAN's domain"
resolved_before=$(resolved_links)
inside cp /etc/resolv.conf /root/resolv.conf.before

install_package

# --- A lockdown connection -------------------------------------------------------------------
connect_in_lockdown
poll 10 resolves test.example 203.0.113.9 &&
    pass "resolvectl query and getent hosts get the tunnel server's answer" ||
    fail "test.example: $(inside resolvectl query --cache=no test.example 2>&1; inside getent hosts test.example)"
[[ $(lan_queries) == "$lan_before" ]] && pass "the LAN's DNS server got no query while connected" ||
    fail "the LAN's DNS server got $(($(lan_queries) - lan_before)) queries while connected: $(inside grep 'query\[' /root/lan-dns.log)"
# While the resolver is replaced, the guard refuses DNS outside the tunnel, the LAN's server
# included, even for a name under the uplink's own domain.
inside resolvectl query --cache=no host.lan >/dev/null 2>&1 || true
[[ $(lan_queries) == "$lan_before" ]] && pass "a LAN name's lookup did not reach the LAN's server" ||
    fail "the LAN's DNS server got a query for host.lan while connected"
guard=$(telvorctl status --json)
[[ $guard == *'"guard":true'* ]] && pass "the packet filter guard is in place under the unit" ||
    fail "telvorctl status: $guard"
telvorctl restoredns
poll 5 resolved_as_before && pass "restoredns took the server back from resolved" ||
    fail "resolved after restoredns: $(resolved_links) (before: $resolved_before)"
telvorctl replacedns 10.8.0.1 # for the close to take back
tls_through_tunnel && pass "traffic to 203.0.113.5 goes through the tunnel" ||
    fail "no traffic through the tunnel: $(inside ip -4 route get 203.0.113.5 2>&1)"
elapsed "connected"

# --- OpenVPN without root ------------------------------------------------------------------------
# Once the tunnel is made, the OpenVPN of the shipped unit runs as the package's account, with
# CAP_NET_ADMIN alone.
openvpn_pid=$(telvorctl status --json | sed -n 's/.*"openvpn":\([0-9][0-9]*\).*/\1/p')
account=$(inside id -u telvord-openvpn 2>/dev/null || true)
openvpn_ids() { inside awk '/^(Uid|Gid):/ {print $2, $3, $4, $5} /^CapEff:/ {print $2}' "/proc/$openvpn_pid/status" | paste -sd' '; }
if [[ -n $openvpn_pid && -n $account ]] &&
    poll 10 eval '[[ $(openvpn_ids) == "$account $account $account $account "*" 0000000000001000" ]]'; then
    pass "OpenVPN runs as telvord-openvpn with CAP_NET_ADMIN alone, the tunnel up"
else
    fail "OpenVPN (PID ${openvpn_pid:-?}) runs as: $(openvpn_ids 2>&1) (telvord-openvpn: ${account:-missing})"
fi
tls_through_tunnel && pass "the tunnel carries traffic with OpenVPN as telvord-openvpn" ||
    fail "no traffic through the tunnel once OpenVPN gave up root"

# --- The unit's confinement --------------------------------------------------------------------
exposure=$(inside systemd-analyze security --no-pager telvord | sed -n 's/.*Overall exposure level for telvord.service: \([0-9.]*\).*/\1/p')
echo "exposure level of telvord.service: ${exposure:-?} (at most $max_exposure)"
[[ -n $exposure ]] && awk -v e="$exposure" -v m="$max_exposure" 'BEGIN {exit !(e <= m)}' &&
    pass "exposure level $exposure" || fail "exposure level '${exposure}' rose above $max_exposure"
denied=$(journal | grep -iE 'seccomp|MemoryDenyWriteExecute|not permitted|permission denied|(fail|unable|cannot|could not)[^.]*capabilit' || true)
[[ -z $denied ]] && pass "no seccomp, memory or capability error" || fail "the sandbox denied: $denied"
errors=$(errors)
[[ -z $errors ]] && pass "no error in the journal for a normal connection" || fail "errors in the journal: $errors"

# --- Remove and purge ----------------------------------------------------------------------------
since=$(inside date '+%Y-%m-%d %H:%M:%S')
inside env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q telvord >"$scratch/remove.log" 2>&1 ||
    { cat "$scratch/remove.log" >&2; fail "apt-get remove failed"; }
has_route '^default via 192\.0\.2\.1 dev veth0' && ! has_route '10\.8\.0\.|198\.51\.100\.7' &&
    pass "apt remove left lockdown and closed the connection" || fail "routes after apt remove: $(routes)"
poll 5 inside cmp -s /etc/resolv.conf /root/resolv.conf.before && pass "apt remove restored /etc/resolv.conf" ||
    fail "/etc/resolv.conf after apt remove: $(inside cat /etc/resolv.conf)"
resolved_as_before && pass "resolved holds for each link what it held before the connection" ||
    fail "resolved after apt remove: $(resolved_links) (before: $resolved_before)"
! inside nft list table inet telvord >/dev/null 2>&1 && pass "apt remove took the guard's table away" ||
    fail "the guard's table is still there after apt remove"
[[ $(inside systemctl is-active telvord) != active ]] && ! inside ip link show tun0 >/dev/null 2>&1 &&
    pass "apt remove stopped the daemon and OpenVPN" || fail "telvord or OpenVPN still runs after apt remove"
errors=$(errors --since "$since")
[[ -z $errors ]] && pass "no error in the journal on removal" || fail "errors on removal: $errors"

purge_package
! inside getent passwd telvord-openvpn >/dev/null && ! inside getent group telvord-openvpn >/dev/null &&
    pass "apt purge removed the account telvord-openvpn and its group" ||
    fail "the account telvord-openvpn outlived apt purge"
container_finish container
