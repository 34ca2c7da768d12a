# shellcheck shell=bash
# Sourced by the container tests: boots a minimal Debian bookworm under systemd in a container
# and gives the test what it needs to run the package there as a user gets it. The container
# has a network namespace of its own (--private-network) with a veth uplink to a second
# namespace inside it, "outside", where the OpenVPN server, the LAN's DNS server and whatever
# else plays the LAN run; nothing here touches this machine's routes or files outside the
# scratch directory and the root file system cache.
#
# The root file system is made once per package list by mmdebstrap from this machine's apt
# sources and kept in TELVORD_ROOTFS_CACHE (default /var/cache/telvord-tests); each run boots a
# fresh copy. A test exits 77 (skipped) where no container can be booted.
#
# The sourcing script sets build, scratch_parent, cpack and source, then calls in turn
# container_prerequisites, container_rootfs, container_prepare, container_boot and
# container_outside, and its own checks between.

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
die() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
started=$SECONDS
elapsed() { echo "-- $* after $((SECONDS - started)) s"; }

# What every container gets: systemd with D-Bus, the package's dependencies, OpenVPN for both
# ends of the tunnel, openssl for a TLS exchange through it, systemd-resolved and dnsmasq for
# the DNS servers and DHCP, NetworkManager and radvd for a desktop's uplink. One list, so that
# every container test boots the same root file system and a fresh machine makes it once; a
# test that has no use for NetworkManager masks it.
container_packages=systemd,systemd-sysv,dbus,iproute2,nftables,openvpn,openssl,systemd-resolved,libnss-resolve
container_packages+=,dnsmasq-base,network-manager,radvd

# --- Can a container boot here? -------------------------------------------------------------
container_prerequisites() {
    [[ $(id -u) == 0 ]] || skip "not root: systemd-nspawn needs root"
    local program
    for program in systemd-nspawn mmdebstrap nsenter flock; do
        command -v "$program" >/dev/null || skip "$program is not installed (systemd-container, mmdebstrap)"
    done
    cgroup2=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
    [[ -n $cgroup2 && -w $cgroup2 ]] || skip "no writable cgroup2 hierarchy for the container"
    [[ -c /dev/net/tun ]] || skip "no /dev/net/tun for OpenVPN"
    unshare --mount --pid --net --fork true 2>/dev/null || skip "no mount, PID and network namespaces"
}

# --- The root file system, made once per package list --------------------------------------
container_rootfs() { # sets rootfs
    local include=$container_packages cache=${TELVORD_ROOTFS_CACHE:-/var/cache/telvord-tests} file key attempt
    # The apt sources of this machine that name bookworm suites; third-party sources are left out.
    local sources=()
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
}

# --- Clean-up: the container, its control groups and the scratch copy ----------------------
nspawn='' scratch='' groups=()
container_cleanup() {
    set +e
    container_poweroff 10
    [[ -z $scratch ]] || rm -rf "$scratch"
}
# Powers the container off as its user would, waits up to `seconds` for it to end, and then
# ends what is left in its control groups; the copy stays for another boot.
container_poweroff() { # [seconds]
    if [[ -n $nspawn ]] && kill -0 "$nspawn" 2>/dev/null; then
        kill -RTMIN+4 "$(container_pid)" 2>/dev/null
        for _ in $(seq $((${1:-60} * 10))); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.1; done
    fi
    nspawn=''
    local dir
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
    return 0
}
container_pid() { cat /proc/"$nspawn"/task/*/children 2>/dev/null | awk '{print $1; exit}'; }

# --- A fresh copy with the package, the client's configuration and a VPN server's files ------
container_prepare() { # sets scratch and root
    local group=telvord-container-test.$$
    groups=("$cgroup2/$group")
    [[ -d /sys/fs/cgroup/systemd && $cgroup2 != /sys/fs/cgroup ]] && groups+=("/sys/fs/cgroup/systemd/$group")
    trap container_cleanup EXIT
    mkdir -p "$scratch_parent"
    scratch=$(mktemp -d "$scratch_parent/container-test.XXXXXX")
    root=$scratch/root
    mkdir "$root"
    tar -C "$root" -xf "$rootfs"
    # radvd plays a router on the LAN, started there by the test; the container is no router.
    ln -sfn /dev/null "$root/etc/systemd/system/radvd.service"

    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
        { cat "$scratch/cpack.log" >&2; die "cpack -G DEB failed"; }
    cp "$scratch"/package/*.deb "$root/root/package.deb"

    "$source/scripts/throwaway_pki.sh" "$scratch/pki"
    local client=$root/etc/openvpn/client
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
}

# --- Boot -----------------------------------------------------------------------------------
# This machine's PID 1 is not systemd, so nspawn runs in a control group of this test's own
# (--keep-unit, --register=no) and makes its payload/ and supervisor/ groups below it rather
# than at the top of the hierarchy. The container gets a network namespace of its own at each
# boot, unless container_network names one it is to boot into (--network-namespace-path=...,
# with CAP_NET_ADMIN, which nspawn gives only with a namespace of its own making): a test's
# own, with the uplink already there, as a machine boots with its network card.
container_network=(--private-network)
# Becomes systemd-nspawn on the copy, in the test's groups: call it in a subshell of its own.
container_nspawn() { # arguments...
    local dir
    for dir in "${groups[@]}"; do mkdir -p "$dir" && echo "$BASHPID" >"$dir/cgroup.procs"; done
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -D "$root" --register=no --keep-unit \
        --resolv-conf=off --link-journal=no --timezone=off --quiet "$@"
}
# Installs the package into the copy before its first boot, as a machine's image is made: apt
# and the package's scripts run, which enable the service and start nothing.
container_install_offline() {
    (container_nspawn --private-network -E DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q /root/package.deb) </dev/null >"$scratch/install.log" 2>&1 ||
        { cat "$scratch/install.log" >&2; die "apt-get install before the boot failed"; }
    container_poweroff
}
container_boot() { # sets pid1
    local state
    container_nspawn "${container_network[@]}" --boot --capability=CAP_IPC_LOCK --console=read-only \
        </dev/null >>"$scratch/console.log" 2>&1 &
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
}
inside() { nsenter -t "$pid1" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

# --- The uplink veth0, and an OpenVPN server at 198.51.100.7 in the namespace "outside" -------
# The LAN side, veth1, holds the gateway 192.0.2.1 and the LAN's DNS server 192.0.2.53; how
# veth0 gets its address is the test's business.
container_outside() {
    inside bash -euc '
        [[ $(ip -o link show | wc -l) == 1 ]] || { echo "not a fresh network namespace" >&2; exit 1; }
        mkdir -p /run/netns
        ip netns add outside
        ip link add veth0 type veth peer name veth1 netns outside
        ip netns exec outside sh -ec "
            ip link set lo up
            ip addr add 192.0.2.1/24 dev veth1
            ip addr add 192.0.2.53/32 dev veth1
            ip link set veth1 up
            ip addr add 198.51.100.7/32 dev lo
            ip addr add 203.0.113.5/32 dev lo"
        cd /root/server
        ip netns exec outside openvpn --mode server --tls-server --dev tun0 --proto udp \
            --local 198.51.100.7 --port 1194 --server 10.8.0.0 255.255.255.0 --topology subnet \
            --ca ca.crt --cert server.crt --key server.key --dh none --disable-dco --verb 1 \
            --log /root/server/server.log --daemon'
}

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
lan_dns_server() {
    dns_server 192.0.2.53 /root/lan-dns.log --address=/test.example/192.0.2.99 \
        --address=/host.lan/192.0.2.77
}
tunnel_dns_server() { dns_server 10.8.0.1 /root/tunnel-dns.log --address=/test.example/203.0.113.9; }
# The queries that reached the LAN's server outside the tunnel: the VPN server shares "outside"
# with the LAN, so what the tunnel carries to the LAN's address reaches it too, from the
# tunnel's address.
lan_queries() {
    local n
    n=$(inside grep 'query\[' /root/lan-dns.log | grep -cvE ' from (10\.8\.0\.|fd42:)') || true
    echo "${n:-0}"
}
# What resolved holds for each link; the tunnel's link once it holds nothing is left out.
resolved_links() { inside sh -c 'resolvectl dns; resolvectl domain' | grep -v '(tun0):$'; }
resolves() { # name address: getent answers the name with the address, and so does resolved
    local answer          # where it runs
    if inside systemctl -q is-active systemd-resolved; then
        answer=$(inside resolvectl query --cache=no "$1" 2>&1) && grep -qF "$1: $2" <<<"$answer" ||
            return 1
    fi
    answer=$(inside getent hosts "$1") && [[ $answer == "$2 "* ]]
}

# --- The package -----------------------------------------------------------------------------
# NetworkManager's profile of the uplink in the container at $root, as a desktop's first
# connection to a wired network makes it: DHCP for IPv4, IPv6 as the argument says.
nm_uplink_profile() { # ipv6-method
    install -d -m 0700 "$root/etc/NetworkManager/system-connections"
    printf '%s\n' '[connection]' 'id=uplink' 'type=ethernet' 'interface-name=veth0' \
        'autoconnect=true' '' '[ipv4]' 'method=auto' '' '[ipv6]' "method=$1" \
        >"$root/etc/NetworkManager/system-connections/uplink.nmconnection"
    chmod 0600 "$root/etc/NetworkManager/system-connections/uplink.nmconnection"
}

install_package() {
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
}

# A lockdown connection through a real tunnel, the tunnel's DNS server given as the resolver;
# lan_before is what the LAN's DNS server had counted before.
connect_in_lockdown() {
    telvorctl enablelockdown
    has_route '^default' && fail "enablelockdown left a default route: $(routes)" ||
        pass "enablelockdown removed the default route"
    telvorctl prepareforconnect serveraddress 198.51.100.7 dnsaddress 192.0.2.53
    if has_route '^198\.51\.100\.7 via 192\.0\.2\.1 ' && has_route '^192\.0\.2\.53 via 192\.0\.2\.1 '; then
        pass "server and DNS routes through the uplink"
    else
        fail "server and DNS routes missing: $(routes)"
    fi

    local answer
    answer=$(telvorctl path /usr/sbin/openvpn commandline \
        '/usr/sbin/openvpn --config /etc/openvpn/client/test.conf')
    [[ $answer == true ]] && pass "the OpenVPN launch is answered true" || fail "the OpenVPN launch is answered '$answer'"
    # The configuration lies in a directory of openvpnconfigdirs: it is opened as root, also
    # where the unit's system call filter knows no openat2.
    grep -qF "with the client's rights" <<<"$(journal)" &&
        fail "the provided configuration was read as the client's: $(grep -F "client's rights" <<<"$(journal)")" ||
        pass "the provided configuration was opened as the administrator's"
    if poll 30 inside sh -c 'ip -4 addr show tun0 | grep -q "inet 10\.8\.0\.2/"'; then
        pass "OpenVPN brought the tunnel up under the unit"
    else
        inside journalctl -u telvord --no-pager -n 40 >&2
        die "no tunnel"
    fi

    tunnel_dns_server
    lan_before=$(lan_queries)
    telvorctl connectionsuccesful connectionsuccesful4 10.8.0.1 replacedns 10.8.0.1
    has_route '^default via 10\.8\.0\.1 dev tun0' && pass "default route through the tunnel" ||
        fail "no default route through the tunnel: $(routes)"
    poll 5 replaced && pass "replacedns wrote /etc/resolv.conf" ||
        fail "/etc/resolv.conf: $(inside cat /etc/resolv.conf)"
}
# A resolver service rewrites its file when a link's servers change; the daemon writes it again.
replaced() { [[ $(inside cat /etc/resolv.conf) == $'# Written by TELVORD\nnameserver 10.8.0.1' ]]; }

# A TLS exchange with a host behind the VPN server, within `seconds`: with lockdown, the tunnel is
# the only way.
tls_through_tunnel() { # [seconds]
    local server status
    server=$(inside ip netns exec outside sh -c 'cd /root/server && openssl s_server -quiet \
        -naccept 1 -accept 203.0.113.5:4433 -cert server.crt -key server.key >/dev/null 2>&1 &
        echo $!')
    poll "${1:-10}" inside sh -c 'ip -4 route get 203.0.113.5 | grep -q "dev tun0" &&
        openssl s_client -connect 203.0.113.5:4433 -CAfile /etc/openvpn/client/ca.crt \
            -verify_return_error -brief </dev/null 2>&1 | grep -q "CONNECTION ESTABLISHED"'
    status=$?
    # A server whose client never came must not hold the next exchange's port.
    inside sh -c "kill $server" 2>/dev/null || true
    return $status
}

# --sync: the daemon's syslog lines may still be on their way to the journal.
journal() { inside journalctl --sync && inside journalctl -u telvord --no-pager -o cat "$@"; }
# Any error line of a normal connection fails the test.
errors() { journal -p err "$@" || true; }

# Purge must leave nothing of the package behind.
purge_package() {
    inside env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q telvord >"$scratch/purge.log" 2>&1 ||
        { cat "$scratch/purge.log" >&2; fail "apt-get purge failed"; }
    local left
    left=$(inside find / /run /var/tmp /var/log -xdev -name '*telvor*' 2>/dev/null | sort -u)
    [[ -z $left ]] && pass "apt purge left nothing behind" || fail "apt purge left: $left"
    elapsed "removed and purged"
}

container_finish() {
    inside journalctl --no-pager -o short-monotonic >"$scratch_parent/${1:-container}-journal.log"
    ((failures == 0)) || die "$failures check(s) failed; the container's journal: $scratch_parent/${1:-container}-journal.log"
    echo "all container checks passed"
}
