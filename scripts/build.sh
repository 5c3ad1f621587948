#!/usr/bin/env bash
# Configures and builds Vorlax into build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/configure.sh" default
cmake --build "$root/build" -j "$(nproc)"
