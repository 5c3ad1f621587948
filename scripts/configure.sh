#!/usr/bin/env bash
# Configures one build folder from a preset of CMakePresets.json (default, asan, tsan, fuzz, bench),
# with ccache when it is installed (never required). Further arguments go to cmake, e.g. -B folder.
#
#   scripts/configure.sh <preset> [cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="$1"
shift
VORLAX_COMPILER_LAUNCHER="$(command -v ccache || true)"
export VORLAX_COMPILER_LAUNCHER
cmake -S "$root" --preset "$preset" "$@" >/dev/null
