#!/usr/bin/env bash
# Installs what building, running and testing Vorlax needs on Debian 12, skipping what is present.
#   scripts/deps.sh           building, running and the plain test suite
#   scripts/deps.sh --package also the tools that make and check the Debian package
#   scripts/deps.sh --checks  also clang and libFuzzer, for the fuzz targets of the full test run,
#                             the package tools, for its packaging check, and the Avahi daemon
#                             and network tools the discovery test runs in its own namespace
set -euo pipefail
# weston and qt6-wayland: the suite runs the program under a headless Wayland compositor too.
# libssl-dev: OpenSSL 3, for the encrypted sessions between two copies.
packages=(build-essential cmake ninja-build qt6-base-dev libqt6svg6 libgl1-mesa-dev libgtest-dev
          libssl-dev xvfb xauth fonts-dejavu-core dbus-daemon weston qt6-wayland)
# dpkg-shlibdeps (dpkg-dev) and file find the package's library dependencies; lintian checks it.
package_tools=(dpkg-dev file lintian)
case "${1:-}" in
    --package) packages+=("${package_tools[@]}") ;;
    --checks) packages+=(clang libclang-rt-14-dev "${package_tools[@]}" avahi-daemon iproute2
                         util-linux) ;;
esac
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
