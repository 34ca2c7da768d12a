#!/usr/bin/env bash
# Boots a host with the package installed twice, as a laptop boots on its wired network:
# NetworkManager leases the uplink by DHCP from a dnsmasq on the LAN, and a service sends UDP
# to an address beyond the LAN's router from early boot on, as time synchronisation, update
# checks and sync clients do. The LAN counts on its side of the uplink what leaves the host.
#  1. lockdown=true: not one datagram leaves over the whole boot, while the lease is taken; the
#     daemon holds lockdown with the lease's gateway saved, routes the VPN server through it,
#     and "telvorctl disablelockdown" gives the default route back. Lockdown by command to the
#     end: nothing leaves while the host shuts down, and the rules and the table stand until
#     the end.
#  2. lockdown=false: the sender's datagrams arrive once the lease is taken, and nothing of
#     lockdown is in place; the lockdown of the boot before ended with it.
# The uplink and the LAN live in network namespaces of the test's own, made on this machine
# before the boot (the container boots into one, a fresh one each time, with its network card
# already there); nothing touches this machine's own network. container_lib.sh says how the
# container is made.
#
# Usage: container_boot_test.sh BUILD_DIR SCRATCH_PARENT CPACK SOURCE_DIR
set -euo pipefail

build=$1 scratch_parent=$2 cpack=$3 source=$4
# shellcheck source=container_lib.sh
. "$(dirname "$0")/container_lib.sh"

container_prerequisites
for program in dnsmasq nft ip; do
    command -v "$program" >/dev/null || skip "$program is not installed: it plays the LAN"
done
container_rootfs
container_prepare

# --- Network namespaces of the test's own ------------------------------------------------------
# Each is held by a process that sleeps in it; the holders and the LAN's dnsmasq end with the
# test.
holders=()
boot_cleanup() {
    set +e
    # What the boot under way logged, for a test that died.
    [[ -n $nspawn ]] && inside journalctl --no-pager -o short-monotonic >"$scratch_parent/container-boot-journal.log"
    container_cleanup
    [[ -f $scratch_parent/boot-dnsmasq.$$.pid ]] && kill "$(cat "$scratch_parent/boot-dnsmasq.$$.pid")"
    rm -f "$scratch_parent/boot-dnsmasq.$$.pid"
    ((${#holders[@]} == 0)) || kill "${holders[@]}" 2>/dev/null
}
trap boot_cleanup EXIT
new_namespace() { # sets made: the PID that holds a fresh network namespace
    unshare --net sleep infinity &
    made=$!
    holders+=("$made")
    for _ in $(seq 50); do
        [[ $(readlink "/proc/$made/ns/net") != "$(readlink /proc/self/ns/net)" ]] && break
        sleep 0.1
    done
    in_namespace "$made" true
}
in_namespace() { # holder command...: refuses unless the namespace is a fresh one of ours
    local holder=$1 links
    shift
    [[ $(readlink "/proc/$holder/ns/net") != "$(readlink /proc/self/ns/net)" ]] ||
        die "namespace of $holder is this machine's; refusing"
    links=$(nsenter --net="/proc/$holder/ns/net" ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort | xargs)
    [[ $links == lo || $links == "lo veth0" || $links == "lo veth1" ]] ||
        die "namespace of $holder holds $links; refusing"
    nsenter --net="/proc/$holder/ns/net" "$@"
}

# The LAN: the router 192.0.2.1 with DHCP, and beyond it 203.0.113.5, where the sender sends.
new_namespace
lan=$made
new_namespace
box=$made
in_namespace "$box" ip link add veth0 type veth peer name veth1 netns "$lan"
# What arrives on the LAN's side: one datagram for a destination beyond the LAN (none of its
# prefixes, no multicast or broadcast) is a leak; "sent" counts the sender's.
cat >"$scratch/count.nft" <<'EOF'
table inet count {
    counter leaked4 {}
    counter leaked6 {}
    counter sent {}
    chain prerouting {
        type filter hook prerouting priority -400; policy accept;
        iifname != "veth1" return
        ip daddr 203.0.113.5 udp dport 9 counter name sent
        ip daddr != { 192.0.2.0/24, 224.0.0.0/4, 255.255.255.255 } counter name leaked4
        ip6 daddr != { fe80::/10, ff00::/8 } counter name leaked6
    }
}
EOF
in_namespace "$lan" sh -ec "
    ip link set lo up
    ip addr add 203.0.113.5/32 dev lo
    ip addr add 192.0.2.1/24 dev veth1
    ip link set veth1 up
    nft -f '$scratch/count.nft'
    dnsmasq --conf-file=/dev/null --port=0 --user=root --group=root --bind-interfaces \
        --interface=veth1 --pid-file='$scratch_parent/boot-dnsmasq.$$.pid' --dhcp-authoritative \
        --dhcp-range=192.0.2.100,192.0.2.150,255.255.255.0,2m \
        --dhcp-leasefile='$scratch/dhcp.leases' --log-dhcp --log-facility='$scratch/dhcp.log'"
counted() { in_namespace "$lan" nft list counter inet count "$1" | awk '/packets/ {print $2}'; }
reset_counts() { in_namespace "$lan" nft reset counters table inet count >/dev/null; }
acks() { grep -c DHCPACK "$scratch/dhcp.log" || true; }

# --- The host: NetworkManager on the uplink, a sender from early boot, the package -------------
install -d -m 0755 "$root/etc/NetworkManager/conf.d"
printf '[main]\ndns=none\nno-auto-default=*\n' >"$root/etc/NetworkManager/conf.d/test.conf"
nm_uplink_profile ignore
cat >"$root/etc/systemd/system/early-sender.service" <<'EOF'
[Unit]
Description=UDP to the internet from early boot to the end, as time synchronisation sends it
DefaultDependencies=no
Before=network-pre.target

[Service]
ExecStart=/bin/bash -c 'while :; do echo leak 2>/dev/null >/dev/udp/203.0.113.5/9; sleep 0.02; done'
EOF
mkdir -p "$root/etc/systemd/system/sysinit.target.wants"
ln -sfn ../early-sender.service "$root/etc/systemd/system/sysinit.target.wants/early-sender.service"
container_install_offline
set_lockdown() { sed -i "s/^lockdown=.*/lockdown=$1/" "$root/etc/telvor.clientd.conf"; }
elapsed "copy ready"

leased() { [[ $(acks) -gt $1 ]] && inside ip -4 addr show veth0 | grep -q 'inet 192\.0\.2\.1[0-9][0-9]/24'; }
kill_switch() { in_namespace "$1" ip rule show | grep -cE '^100[01]:' || true; }
boot_into() { # holder
    container_network=("--network-namespace-path=/proc/$1/ns/net" --capability=CAP_NET_ADMIN)
    reset_counts
    acks_before=$(acks)
    container_boot
}

# --- Boot 1: lockdown=true ----------------------------------------------------------------------
set_lockdown true
boot_into "$box"
poll 60 leased "$acks_before" && pass "NetworkManager took the lease in lockdown" ||
    die "no lease: $(tail -n 5 "$scratch/dhcp.log"; inside nmcli device)"
inside systemctl -q is-active early-sender || fail "the sender does not run"
status=$(telvorctl status --json)
[[ $status == *'"lockdown":true'* && $status == *'"gateway4":"via 192.0.2.1 dev veth0'* ]] &&
    pass "the daemon holds lockdown with the lease's gateway saved" || fail "telvorctl status: $status"
! has_route '^default' && pass "the lease's default route is removed" || fail "routes: $(routes)"
# Its syslog lines may reach the journal after its end, without its unit's name.
inside journalctl --sync
lockdown_log=$(inside journalctl -b -t TELVOR.clientd --no-pager -o cat)
when() { inside systemctl show -p "$2" --value "$1"; }
[[ $lockdown_log == *"Lockdown before the network"* ]] &&
    (($(when telvord-lockdown ExecMainExitTimestampMonotonic) < $(when NetworkManager ExecMainStartTimestampMonotonic))) &&
    pass "telvord-lockdown put lockdown in place before NetworkManager started" ||
    fail "telvord-lockdown: $(inside systemctl status --no-pager telvord-lockdown NetworkManager)"
[[ $(counted leaked4) == 0 && $(counted leaked6) == 0 ]] &&
    pass "no datagram left over the boot, the lease included" ||
    fail "datagrams left during the boot: $(counted leaked4) (IPv4), $(counted leaked6) (IPv6)"
telvorctl serveraddress 198.51.100.7
has_route '^198\.51\.100\.7 via 192\.0\.2\.1 dev veth0' && pass "serveraddress routes the server through the lease's gateway" ||
    fail "no server route: $(routes)"
telvorctl disablelockdown
has_route '^default via 192\.0\.2\.1 dev veth0 proto dhcp src 192\.0\.2\.1[0-9][0-9] ' &&
    pass "disablelockdown gives the lease's default route back" || fail "routes after disablelockdown: $(routes)"
sent=$(counted sent)
poll 10 eval '(( $(counted sent) > sent ))' &&
    pass "the sender's datagrams arrive once lockdown is left: $(($(counted sent) - sent)) by now" ||
    fail "the far side counts none of the sender's datagrams"
errors=$(errors -b)
[[ -z $errors ]] && pass "no error in the journal" || fail "errors in the journal: $errors"

# Lockdown by command to the end of the boot.
telvorctl enablelockdown
reset_counts
container_poweroff
[[ $(counted leaked4) == 0 && $(counted leaked6) == 0 ]] && pass "no datagram left while the host shut down" ||
    fail "datagrams left while the host shut down: $(counted leaked4) (IPv4), $(counted leaked6) (IPv6)"
[[ $(kill_switch "$box") == 2 ]] && in_namespace "$box" nft list table inet telvord >/dev/null &&
    pass "the kill switch's rules and the guard's table stood until the end" ||
    fail "after the shutdown: $(in_namespace "$box" ip rule show)"
elapsed "boot with lockdown=true"

# --- Boot 2: lockdown=false, into a fresh namespace, as a reboot leaves the kernel -------------
new_namespace
in_namespace "$box" ip link set veth0 netns "$made"
kill "$box"
box=$made
set_lockdown false
boot_into "$box"
poll 60 leased "$acks_before" && pass "NetworkManager took the lease" || die "no lease: $(tail -n 5 "$scratch/dhcp.log")"
poll 10 eval '(( $(counted sent) > 0 ))' && pass "the sender's datagrams arrive from the lease on: $(counted sent)" ||
    fail "no datagram of the sender arrived"
[[ $(kill_switch "$box") == 0 ]] && ! in_namespace "$box" nft list table inet telvord >/dev/null 2>&1 &&
    pass "with lockdown=false nothing of lockdown is in place at boot" ||
    fail "lockdown at a boot with lockdown=false: $(in_namespace "$box" ip rule show)"
[[ $(telvorctl status --json) == *'"lockdown":false'* ]] && pass "the daemon runs without lockdown" ||
    fail "telvorctl status: $(telvorctl status --json)"
errors=$(errors -b)
[[ -z $errors ]] && pass "no error in the journal" || fail "errors in the journal: $errors"
elapsed "boot with lockdown=false"

container_finish container-boot
