#!/usr/bin/env bash
# The project's test command (CI runs it unchanged). No display needed: the tests use Qt's
# offscreen platform.
#
#   scripts/test.sh          the full check, in this order, stopping at the first failure:
#                              1. build (build/) and run the whole test suite
#                              2. the packaging check (tests/package/check_package.sh): the Debian
#                                 package made from build/, lintian, installed, started by an
#                                 ordinary user on the default ports, removed
#                              3. the whole suite again, built with the address and undefined-behaviour
#                                 sanitizers (build-asan/)
#                              4. the suite under the thread sanitizer (build-tsan/, scripts/tsan.sh)
#                              5. each fuzz target for 10 s (build-fuzz/, clang)
#   scripts/test.sh --quick  step 1 only, the quick check while developing
#
# ccache is used when it is installed, never required.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
quick=false
[ "${1:-}" = "--quick" ] && quick=true

step() { echo; echo "==== $* ($(date -u +%H:%M:%S) UTC)"; }

# Configures one build folder from its preset (CMakePresets.json) and builds it.
build() {
    "$root/scripts/configure.sh" "$2"
    cmake --build "$root/$1" -j "$(nproc)"
}

# Runs every test of a build folder; ctest prints its summary line, and fails when a test does.
suite() {
    (cd "$root/$1" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2)
}

if $quick; then
    "$root/scripts/deps.sh"
else
    "$root/scripts/deps.sh" --checks
fi

step "Build and run the test suite"
build build default
suite build
$quick && exit 0

step "Debian package: lintian, install, going online as an ordinary user, removal"
"$root/tests/package/check_package.sh" "$root/build"

step "Test suite with the address and undefined-behaviour sanitizers"
build build-asan asan
suite build-asan

step "Test suite with the thread sanitizer"
"$root/scripts/tsan.sh"

step "Fuzz targets, 10 s each"
"$root/scripts/fuzz.sh" 10

step "All checks passed"
