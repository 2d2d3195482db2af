#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the main job need.
# Run as root; otherwise prints the apt-get line to run and stops.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config lld
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcli11-dev libcpp-httplib-dev
    libpcap-dev
    clang
    libnetfilter-queue-dev libnetfilter-conntrack-dev libnftnl-dev libmnl-dev
    nftables iproute2 nginx-light curl hping3 iputils-ping
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

cmd=(apt-get install -y --no-install-recommends "${missing[@]}")
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run as root:  apt-get update && ${cmd[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if ! "${cmd[@]}"; then
    apt-get update
    "${cmd[@]}"
fi
