#!/usr/bin/env bash
# Builds the program Vorlax into build/ and starts it. Only the program is built, not the tests, so
# the first window comes after the least compiling. Arguments are passed on to the program.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
if [ ! -f "$root/build/CMakeCache.txt" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
        >/dev/null
fi
cmake --build "$root/build" --target Vorlax -j "$(nproc)"
exec "$root/build/Vorlax" "$@"
