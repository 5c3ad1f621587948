#!/usr/bin/env bash
# Builds with the thread sanitizer (into build-tsan/) and runs the tests where threads meet: the
# line-channel sockets and the two-copy tests. Any report fails the run; scripts/tsan.supp lists the
# only reports that are not faults, with the reason.
#
#   scripts/tsan.sh [ctest -R pattern]    default: test_tcpchannel and every tests/peers test
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-tsan"

peers=()
for f in "$root"/tests/peers/test_*.cpp; do
    peers+=("$(basename "$f" .cpp)")
done
tests=(test_tcpchannel "${peers[@]}")
pattern="${1:-^($(IFS='|'; echo "${tests[*]}"))\$}"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLAX_TSAN=ON \
    "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${tests[@]}"

# halt_on_error: the first report ends the test with a failure, so none goes unnoticed.
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 -R "$pattern"
