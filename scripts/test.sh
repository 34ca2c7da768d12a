#!/usr/bin/env bash
# Installs what the tests need (Debian packages), builds telvord and runs every test.
# Run as root: the system tests build their own network and mount namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          iproute2 net-tools openvpn openssl util-linux procps)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    if [[ $(id -u) != 0 ]]; then
        echo "test.sh: root is needed to install: ${missing[*]}" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default
ctest --preset default -j "$(nproc)"
