#!/usr/bin/env bash
# Builds the program Vorlax into build/ and starts it. Only the program is built, not the tests, so
# the first window comes after the least compiling. Arguments are passed on to the program.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
[ -f "$root/build/CMakeCache.txt" ] || "$root/scripts/configure.sh" default
cmake --build "$root/build" --target Vorlax -j "$(nproc)"
exec "$root/build/Vorlax" "$@"
