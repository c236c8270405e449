#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent.
set -euo pipefail
packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-svg-dev libpugixml-dev libserialport-dev
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    lrzsz xvfb trayer openbox x11-utils xdotool imagemagick iproute2 nftables util-linux
    dpkg-dev file desktop-file-utils ccache
    libmosquitto-dev mosquitto mosquitto-clients openssl
    libcurl4-openssl-dev libssl-dev ca-certificates python3 python3-jinja2
    libsystemd-dev systemd
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    SUDO=""
    [[ $(id -u) -eq 0 ]] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
