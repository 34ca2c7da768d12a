#!/usr/bin/env bash
# Boots a minimal Debian bookworm under systemd in a container and runs the package there as a
# user gets it: apt installs and starts it, telvorctl drives a lockdown connection with a real
# OpenVPN under the shipped unit, and apt remove and apt purge must leave the container as it
# was. The container has a network namespace of its own (--private-network) with a veth
# uplink to a second namespace inside it, where the OpenVPN server runs; nothing here touches
# this machine's routes or files outside the scratch directory and the root file system cache.
# The container runs systemd-resolved as a desktop does: the uplink carries the LAN's DNS
# server, and names must resolve through the tunnel's server while connected.
#
# The root file system is made once by mmdebstrap from this machine's apt sources and kept in
# TELVORD_ROOTFS_CACHE (default /var/cache/telvord-tests); each run boots a fresh copy.
# Exits 77 (skipped) where no container can be booted.
#
# Usage: container_test.sh BUILD_DIR SCRATCH_PARENT CPACK SOURCE_DIR
set -euo pipefail

build=$1 scratch_parent=$2 cpack=$3 source=$4

# What `systemd-analyze security telvord` rates the shipped unit; a rise fails the test.
max_exposure=2.9

cache=${TELVORD_ROOTFS_CACHE:-/var/cache/telvord-tests}
include=systemd,systemd-sysv,dbus,iproute2,nftables,openvpn,openssl,systemd-resolved,libnss-resolve,dnsmasq-base

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
die() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
started=$SECONDS
elapsed() { echo "-- $* after $((SECONDS - started)) s"; }

# --- Can a container boot here? -------------------------------------------------------------
[[ $(id -u) == 0 ]] || skip "not root: systemd-nspawn needs root"
for program in systemd-nspawn mmdebstrap nsenter flock; do
    command -v "$program" >/dev/null || skip "$program is not installed (systemd-container, mmdebstrap)"
done
cgroup2=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
[[ -n $cgroup2 && -w $cgroup2 ]] || skip "no writable cgroup2 hierarchy for the container"
[[ -c /dev/net/tun ]] || skip "no /dev/net/tun for OpenVPN"
unshare --mount --pid --net --fork true 2>/dev/null || skip "no mount, PID and network namespaces"

# --- The root file system, made once ----------------------------------------------------------
# The apt sources of this machine that name bookworm suites; third-party sources are left out.
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] && grep -qE '^(Suites:.*[[:space:]]|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?[^[:space:]]+[[:space:]]+)bookworm(-[a-z]+)?([[:space:]]|$)' "$file" &&
        sources+=("$file")
done
((${#sources[@]})) || skip "no apt source of this machine names bookworm"
key=$( { echo "$include"; cat "${sources[@]}"; } | sha256sum | cut -c1-16)
rootfs=$cache/bookworm-minbase-$key.tar
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -w 1200 9 || die "another run holds $cache/lock"
# Root file systems of other package lists go once no run has used them for a day: runs of
# branches with different lists share the cache.
find "$cache" -maxdepth 1 -name 'bookworm-minbase-*.tar' ! -newermt '1 day ago' -delete
if [[ ! -f $rootfs ]]; then
    echo "making $rootfs from ${sources[*]}"
    rm -f "$cache"/*.partial.tar
    # A second try rides out a mirror that dropped a download.
    for attempt in 1 2; do
        mmdebstrap --quiet --variant=minbase --include="$include" bookworm "$rootfs.partial.tar" \
            "${sources[@]}" && break
        ((attempt == 1)) || die "mmdebstrap failed"
    done
    mv "$rootfs.partial.tar" "$rootfs"
    elapsed "root file system made"
fi
touch "$rootfs"
flock -u 9

# --- Clean-up: the container, its control groups and the scratch copy ----------------------
group=telvord-container-test.$$
groups=("$cgroup2/$group")
[[ -d /sys/fs/cgroup/systemd && $cgroup2 != /sys/fs/cgroup ]] && groups+=("/sys/fs/cgroup/systemd/$group")
nspawn='' scratch=''
cleanup() {
    set +e
    if [[ -n $nspawn ]] && kill -0 "$nspawn" 2>/dev/null; then
        kill -RTMIN+4 "$(container_pid)" 2>/dev/null # poweroff
        for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    fi
    for dir in "${groups[@]}"; do
        [[ -d $dir ]] || continue
        [[ -f $dir/cgroup.kill ]] && echo 1 >"$dir/cgroup.kill"
        for _ in $(seq 50); do
            [[ -z $(find "$dir" -name cgroup.procs -exec cat {} + 2>/dev/null) ]] && break
            find "$dir" -name cgroup.procs -exec cat {} + 2>/dev/null | xargs -r kill -KILL 2>/dev/null
            sleep 0.1
        done
        find "$dir" -depth -type d -exec rmdir {} + 2>/dev/null
    done
    [[ -z $scratch ]] || rm -rf "$scratch"
}
trap cleanup EXIT
container_pid() { cat /proc/"$nspawn"/task/*/children 2>/dev/null | awk '{print $1; exit}'; }

# --- A fresh copy with the package, the client's configuration and a VPN server's files ------
mkdir -p "$scratch_parent"
scratch=$(mktemp -d "$scratch_parent/container-test.XXXXXX")
root=$scratch/root
mkdir "$root"
tar -C "$root" -xf "$rootfs"

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log" >&2; die "cpack -G DEB failed"; }
cp "$scratch"/package/*.deb "$root/root/package.deb"

"$source/scripts/throwaway_pki.sh" "$scratch/pki"
client=$root/etc/openvpn/client
install -d -m 0755 "$client" "$root/root/server"
install -m 0644 "$scratch/pki/ca.crt" "$scratch/pki/client.crt" "$client/"
install -m 0600 "$scratch/pki/client.key" "$client/"
install -m 0600 "$scratch/pki"/{ca.crt,server.crt,server.key} "$root/root/server/"
# An ordinary client configuration: certificate files, no scripts, root dropped after start.
cat >"$client/test.conf" <<'EOF'
client
dev tun
proto udp
remote 198.51.100.7 1194
nobind
ca /etc/openvpn/client/ca.crt
cert /etc/openvpn/client/client.crt
key /etc/openvpn/client/client.key
user nobody
group nogroup
persist-key
persist-tun
disable-dco
verb 3
EOF
# As resolved's package leaves it: the resolver file is resolved's stub file.
ln -sfn ../run/systemd/resolve/stub-resolv.conf "$root/etc/resolv.conf"
elapsed "copy ready"

# --- Boot -----------------------------------------------------------------------------------
# This machine's PID 1 is not systemd, so nspawn runs in a control group of this test's own
# (--keep-unit, --register=no) and makes its payload/ and supervisor/ groups below it rather
# than at the top of the hierarchy.
for dir in "${groups[@]}"; do mkdir "$dir"; done
(
    for dir in "${groups[@]}"; do echo "$BASHPID" >"$dir/cgroup.procs"; done
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$root" --private-network --boot \
        --register=no --keep-unit --capability=CAP_IPC_LOCK --resolv-conf=off --link-journal=no \
        --timezone=off --console=read-only --quiet
) </dev/null >"$scratch/console.log" 2>&1 &
nspawn=$!

pid1=
for _ in $(seq 300); do
    pid1=$(container_pid)
    [[ -n $pid1 && $(cat "/proc/$pid1/comm" 2>/dev/null) == systemd ]] && break
    kill -0 "$nspawn" 2>/dev/null || { cat "$scratch/console.log" >&2; die "systemd-nspawn ended"; }
    sleep 0.1
done
[[ $(cat "/proc/$pid1/comm" 2>/dev/null) == systemd ]] || die "no systemd in the container"
# Everything that follows changes routes and files: only ever in the container's namespaces.
[[ $(readlink "/proc/$pid1/ns/net") != $(readlink /proc/self/ns/net) &&
   $(readlink "/proc/$pid1/ns/mnt") != $(readlink /proc/self/ns/mnt) ]] ||
    die "the container shares this machine's namespaces; refusing"
inside() { nsenter -t "$pid1" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
# systemctl fails until the container's manager listens; then it waits for the boot's end.
state=
for _ in $(seq 300); do
    state=$(inside timeout 60 systemctl is-system-running --wait 2>/dev/null || true)
    [[ $state == running || $state == degraded ]] && break
    sleep 0.2
done
[[ $state == running || $state == degraded ]] ||
    { tail -n 30 "$scratch/console.log" >&2; die "the container did not boot: '$state'"; }
[[ $state == running ]] || inside systemctl --failed --no-legend
elapsed "booted"

# --- The uplink, and an OpenVPN server at 198.51.100.7 in the namespace "outside" --------------
inside bash -euc '
    [[ $(ip -o link show | wc -l) == 1 ]] || { echo "not a fresh network namespace" >&2; exit 1; }
    mkdir -p /run/netns
    ip netns add outside
    ip link add veth0 type veth peer name veth1 netns outside
    ip addr add 192.0.2.10/24 dev veth0
    ip link set veth0 up
    ip netns exec outside sh -ec "
        ip link set lo up
        ip addr add 192.0.2.1/24 dev veth1
        ip addr add 192.0.2.53/32 dev veth1
        ip link set veth1 up
        ip addr add 198.51.100.7/32 dev lo
        ip addr add 203.0.113.5/32 dev lo"
    ip route add default via 192.0.2.1
    # What a network manager tells resolved about the uplink: the LAN server and its domain.
    resolvectl dns veth0 192.0.2.53
    resolvectl domain veth0 lan
    cd /root/server
    ip netns exec outside openvpn --mode server --tls-server --dev tun0 --proto udp \
        --local 198.51.100.7 --port 1194 --server 10.8.0.0 255.255.255.0 --topology subnet \
        --ca ca.crt --cert server.crt --key server.key --dh none --disable-dco --verb 1 \
        --log /root/server/server.log --daemon'

telvorctl() { inside timeout 30 telvorctl "$@"; }
routes() { inside ip -4 route show; }
has_route() { grep -qE "$1" <<<"$(routes)"; } # not a pipe: grep -q would leave ip a broken pipe
poll() { # seconds, command...: polls until the command succeeds
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do ((SECONDS < deadline)) || return 1; sleep 0.2; done
}

# --- DNS: the LAN's server at 192.0.2.53, the tunnel's at 10.8.0.1 ---------------------------
# Both run in the namespace "outside", as dnsmasq with one name each; the LAN's logs the queries
# it gets, so that a lookup that leaves outside the tunnel shows.
dns_server() { # address log answers...
    local address=$1 log=$2
    shift 2
    inside ip netns exec outside dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --pid-file= \
        --user=root --group=root --bind-interfaces --listen-address="$address" --log-queries \
        --log-facility="$log" "$@"
}
lan_queries() { local n; n=$(inside grep -c 'query\[' /root/lan-dns.log) || true; echo "${n:-0}"; }
# What resolved holds for each link; the tunnel's link once it holds nothing is left out.
resolved_links() { inside sh -c 'resolvectl dns; resolvectl domain' | grep -v '(tun0):$'; }
resolved_as_before() { [[ $(resolved_links) == "$resolved_before" ]]; }
resolves() { # name address: resolvectl and getent both answer the name with the address
    local answer
    answer=$(inside resolvectl query --cache=no "$1" 2>&1) && grep -qF "$1: $2" <<<"$answer" &&
        answer=$(inside getent hosts "$1") && [[ $answer == "$2 "* ]]
}
dns_server 192.0.2.53 /root/lan-dns.log --address=/test.example/192.0.2.99 \
    --address=/host.lan/192.0.2.77
poll 10 inside grep -qx 'search lan' /etc/resolv.conf || die "resolved did not take up the LAN's domain"
resolved_before=$(resolved_links)
inside cp /etc/resolv.conf /root/resolv.conf.before

# --- Install ---------------------------------------------------------------------------------
if inside env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/package.deb >"$scratch/install.log" 2>&1; then
    pass "apt installs the package"
else
    cat "$scratch/install.log" >&2
    die "apt-get install failed"
fi
[[ $(inside systemctl is-enabled telvord) == enabled ]] && pass "the service is enabled" ||
    fail "the service is not enabled"
poll 10 inside test -s /var/tmp/telvor.clientd.port && pass "the service runs and wrote its port file" ||
    { inside systemctl status telvord >&2; die "no port file"; }
elapsed "installed"

# --- A lockdown connection -------------------------------------------------------------------
telvorctl enablelockdown
has_route '^default' && fail "enablelockdown left a default route: $(routes)" ||
    pass "enablelockdown removed the default route"
telvorctl prepareforconnect serveraddress 198.51.100.7 dnsaddress 192.0.2.53
if has_route '^198\.51\.100\.7 via 192\.0\.2\.1 ' && has_route '^192\.0\.2\.53 via 192\.0\.2\.1 '; then
    pass "server and DNS routes through the uplink"
else
    fail "server and DNS routes missing: $(routes)"
fi

answer=$(telvorctl path /usr/sbin/openvpn commandline \
    '/usr/sbin/openvpn --config /etc/openvpn/client/test.conf')
[[ $answer == true ]] && pass "the OpenVPN launch is answered true" || fail "the OpenVPN launch is answered '$answer'"
if poll 30 inside sh -c 'ip -4 addr show tun0 | grep -q "inet 10\.8\.0\.2/"'; then
    pass "OpenVPN brought the tunnel up under the unit"
else
    inside journalctl -u telvord --no-pager -n 40 >&2
    die "no tunnel"
fi

dns_server 10.8.0.1 /root/tunnel-dns.log --address=/test.example/203.0.113.9
lan_before=$(lan_queries)
telvorctl connectionsuccesful connectionsuccesful4 10.8.0.1 replacedns 10.8.0.1
has_route '^default via 10\.8\.0\.1 dev tun0' && pass "default route through the tunnel" ||
    fail "no default route through the tunnel: $(routes)"
# resolved rewrites its stub file when a link's servers change; the daemon writes it again.
replaced() { [[ $(inside cat /etc/resolv.conf) == $'# Written by TELVORD\nnameserver 10.8.0.1' ]]; }
poll 5 replaced && pass "replacedns wrote /etc/resolv.conf" ||
    fail "/etc/resolv.conf: $(inside cat /etc/resolv.conf)"
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
# A TLS exchange with a host behind the VPN server: with lockdown, the tunnel is the only way.
inside ip netns exec outside sh -c 'cd /root/server && exec openssl s_server -quiet -naccept 1 \
    -accept 203.0.113.5:4433 -cert server.crt -key server.key >/dev/null 2>&1 &'
if poll 10 inside sh -c 'ip -4 route get 203.0.113.5 | grep -q "dev tun0" &&
        openssl s_client -connect 203.0.113.5:4433 -CAfile /etc/openvpn/client/ca.crt \
            -verify_return_error -brief </dev/null 2>&1 | grep -q "CONNECTION ESTABLISHED"'; then
    pass "traffic to 203.0.113.5 goes through the tunnel"
else
    fail "no traffic through the tunnel: $(inside ip -4 route get 203.0.113.5 2>&1)"
fi
elapsed "connected"

# --- The unit's confinement --------------------------------------------------------------------
exposure=$(inside systemd-analyze security --no-pager telvord | sed -n 's/.*Overall exposure level for telvord.service: \([0-9.]*\).*/\1/p')
echo "exposure level of telvord.service: ${exposure:-?} (at most $max_exposure)"
[[ -n $exposure ]] && awk -v e="$exposure" -v m="$max_exposure" 'BEGIN {exit !(e <= m)}' &&
    pass "exposure level $exposure" || fail "exposure level '${exposure}' rose above $max_exposure"
# --sync: the daemon's syslog lines may still be on their way to the journal.
journal() { inside journalctl --sync && inside journalctl -u telvord --no-pager -o cat "$@"; }
# Any error line of a normal connection fails the test.
errors() { journal -p err "$@" || true; }
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

inside env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q telvord >"$scratch/purge.log" 2>&1 ||
    { cat "$scratch/purge.log" >&2; fail "apt-get purge failed"; }
left=$(inside find / /run /var/tmp /var/log -xdev -name '*telvor*' 2>/dev/null | sort -u)
[[ -z $left ]] && pass "apt purge left nothing behind" || fail "apt purge left: $left"
elapsed "removed and purged"

inside journalctl --no-pager -o short-monotonic >"$scratch_parent/container-journal.log"
((failures == 0)) || die "$failures check(s) failed; the container's journal: $scratch_parent/container-journal.log"
echo "all container checks passed"
