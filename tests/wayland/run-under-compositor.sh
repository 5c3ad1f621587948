#!/usr/bin/env bash
# Runs a test program on the Wayland platform under a headless compositor of its own: weston with
# its headless backend, on a socket in a runtime folder made for this run. Exits 77 (the test is
# skipped) only when the compositor cannot start here; otherwise with the program's own status.
#   run-under-compositor.sh PROGRAM [ARGUMENTS...]
set -u
if ! command -v weston >/dev/null; then
    echo "SKIPPED: weston is not installed (scripts/deps.sh installs it)"
    exit 77
fi
runtime="$(mktemp -d "${TMPDIR:-/tmp}/vorlax-wayland.XXXXXX")"
chmod 700 "$runtime"
socket=wayland-vorlax
# The pixman renderer draws what clients show, as a desktop would; the shell is weston's own.
XDG_RUNTIME_DIR="$runtime" weston --backend=headless-backend.so --use-pixman --no-config \
    --socket="$socket" --idle-time=0 --width=1280 --height=800 >"$runtime/weston.log" 2>&1 &
compositor=$!
cleanup() {
    kill "$compositor" 2>/dev/null
    wait "$compositor" 2>/dev/null
    rm -rf "$runtime"
}
trap cleanup EXIT

# The compositor is ready once its socket exists; a slow start on a busy machine gets 30 s.
for _ in $(seq 300); do
    [ -S "$runtime/$socket" ] && break
    kill -0 "$compositor" 2>/dev/null || break
    sleep 0.1
done
if [ ! -S "$runtime/$socket" ]; then
    echo "SKIPPED: the headless Wayland compositor (weston) could not start here:"
    tail -n 20 "$runtime/weston.log"
    exit 77
fi

# In a sanitizer build, the leak check leaves out what the Wayland client library keeps to the end.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/lsan.supp"
XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland \
    env -u DISPLAY "$@"
