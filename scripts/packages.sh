#!/usr/bin/env bash
# The Debian packages that telvord's scripts need, and the one step that installs those that
# are missing, so that each script works alone on a fresh machine. Each set holds the one
# before it:
#   build  cmake, the compiler, sd-bus, libnftables and the test libraries the default preset
#          configures with;
#   demo   the programs the sandbox demo runs (ip, nft, openvpn, openssl, unshare);
#   test   the sanitizer and fuzzer compilers, the route, packet filter and packaging tools,
#          the LAN's software that the system tests and the leak benchmark run in their
#          namespaces (the DHCP server and client and the router advertisement daemon, as
#          binaries without the system services where Debian splits them), the firewall
#          program the guard must coexist with, and what the container test boots a Debian
#          system with (systemd-nspawn, mmdebstrap);
#   ci     lintian as well.
#
#   scripts/packages.sh demo      installs what is missing (as root), or says what is
set -euo pipefail

# shellcheck disable=SC2034 # the sets are chosen by name below
build=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
       libnftables-dev)
demo=("${build[@]}" iproute2 nftables openvpn openssl util-linux procps)
test=("${demo[@]}" clang libclang-rt-14-dev net-tools scdoc dpkg-dev man-db
      dnsmasq-base dhcpcd-base radvd iptables systemd-container mmdebstrap)
ci=("${test[@]}" lintian)

case ${1:-} in
build | demo | test | ci) declare -n wanted=$1 ;;
*) echo "usage: $0 build|demo|test|ci" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
((${#missing[@]})) || exit 0
if [[ $(id -u) != 0 ]]; then
    echo "$(basename "$0"): root is needed to install: ${missing[*]}" >&2
    exit 1
fi
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
