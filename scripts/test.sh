#!/usr/bin/env bash
# Builds Vorlax and runs the whole test suite (no display needed: the tests use Qt's offscreen platform).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2
