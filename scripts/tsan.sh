#!/usr/bin/env bash
# Builds with the thread sanitizer (into build-tsan/) and runs the tests where threads meet: the
# line-channel sockets and the two-copy tests. Any report fails the run; scripts/tsan.supp lists the
# only reports that are not faults, with the reason.
#
#   scripts/tsan.sh [ctest -R pattern]    default: test_tcpchannel and every tests/peers test
#                                         but test_demo (see below)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-tsan"

peers=()
for f in "$root"/tests/peers/test_*.cpp; do
    # test_demo starts a script through QProcess, whose child runs in the parent's memory until it
    # executes (a vfork-like clone). The sanitizer's calls in that child corrupt the parent's
    # bookkeeping, after which it reports races under held locks. Its threads are those of the
    # other two-copy tests.
    [[ "$(basename "$f")" == test_demo.cpp ]] && continue
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
# ignore_noninstrumented_modules: Qt and GLib are not built with the sanitizer, so their own memory
# accesses are invisible to it; this makes the accesses of the C library calls they make (memcpy,
# free, ...) invisible too, instead of half-seen without the locks Qt takes around them. Locks,
# atomics and the marks in common/Handover.h still order everything this program's code does.
# io_sync=0: a write to one socket does not count as ordering it before a read from another, so
# shared state passed between threads must be ordered by locks, as it must be when a peer's bytes
# come at any time.
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1 \
ignore_noninstrumented_modules=1 io_sync=0 ${TSAN_OPTIONS:-}"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 -R "$pattern"
