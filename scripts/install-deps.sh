#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the bench
# need. Quiet and quick when everything is already there.
set -euo pipefail

packages=(
    g++ cmake make pkg-config
    libtins-dev libpcap-dev libgtest-dev libcli11-dev nlohmann-json3-dev
    clang libclang-rt-14-dev
    iproute2 ethtool nftables tcpdump procps libcap2-bin
    tshark python3-matplotlib python3-dpkt
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
