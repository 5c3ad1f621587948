#!/usr/bin/env bash
# Installs what building, running and testing Vorlax needs on Debian 12, skipping what is present.
#   scripts/deps.sh           building, running and the plain test suite
#   scripts/deps.sh --checks  also clang and libFuzzer, for the fuzz targets of the full test run,
#                             and the Avahi daemon, system bus and network tools the discovery
#                             test runs in its own namespace
set -euo pipefail
packages=(build-essential cmake ninja-build qt6-base-dev libqt6svg6 libgl1-mesa-dev libgtest-dev
          xvfb xauth fonts-dejavu-core)
if [ "${1:-}" = "--checks" ]; then
    packages+=(clang libclang-rt-14-dev avahi-daemon dbus-daemon iproute2 util-linux)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
