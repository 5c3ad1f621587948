#!/usr/bin/env bash
# Builds with the thread sanitizer (into build-tsan/) and runs the test suite. Any report fails the
# run; scripts/tsan.supp says why it lists nothing.
#
#   scripts/tsan.sh [ctest -R pattern]    default: every test but test_demo
#
# test_demo starts a script through QProcess, whose child runs in the parent's memory until it
# executes (a vfork-like clone). The sanitizer's calls in that child corrupt the parent's
# bookkeeping, after which it reports races between accesses under the same lock. Its threads are
# those of the other two-copy tests.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-tsan"
pattern="${1:-.}"

"$root/scripts/configure.sh" tsan
cmake --build "$build" -j "$(nproc)"

# halt_on_error: the first report ends the test with a failure, so none goes unnoticed.
# ignore_noninstrumented_modules: Qt and GLib are not built with the sanitizer, so their own memory
# accesses are invisible to it; this makes the accesses of the C library calls they make (memcpy,
# free, ...) invisible too, instead of half-seen without the locks Qt takes around them. Locks and
# atomics still order everything this program's code does; the mailboxes of common/GuiThread.h
# hand values between the two threads under a plain mutex, which the sanitizer sees.
# io_sync=0: reads and writes on sockets and pipes order nothing, so state two threads share must be
# ordered by locks, as it must be when a peer's bytes may come at any time.
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1 \
ignore_noninstrumented_modules=1 io_sync=0 ${TSAN_OPTIONS:-}"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2 -R "$pattern" -E '^test_demo$'
