#!/usr/bin/env bash
# Builds the Debian package of Vorlax, vorlax_<version>_<arch>.deb, with CPack from the install
# rules, in the build folder (build/, or the one given), reusing what is already built there.
# Prints the package's path. Install it with: sudo apt install ./build/vorlax_<version>_<arch>.deb
#
#   scripts/package.sh [build folder]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
"$root/scripts/deps.sh" --package
[ -f "$build/CMakeCache.txt" ] || "$root/scripts/configure.sh" default -B "$build"
# Only what the package holds: the program, its port helper and the compressed documents.
cmake --build "$build" --target Vorlax vorlax_bind vorlax_docs
rm -f "$build"/vorlax_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/vorlax_*.deb
