#!/usr/bin/env bash
# Makes docs/main-window.png, the README's picture of the main window: starts the two demo copies on
# a virtual screen (Xvfb), drives them as a newcomer would (Offline, the remembered address,
# Connect, a drawing, two chat lines, a file traded), and photographs the left copy. It fails when
# the copies do not connect or the file does not arrive, so it also checks that the demo works.
# Needs no display. Clicks go to places in the window at its default size (811 x 659).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/docs/main-window.png"
width=811 height=659 top=40 gap=10
screen="$((2 * width + gap))x$((top + height + 20))x24"

if [ "${1:-}" != "--on-screen" ]; then
    "$root/scripts/build.sh"
    missing=()
    for p in xdotool imagemagick x11-utils; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        sudo_cmd=""
        [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
    fi
    exec xvfb-run -a -s "-screen 0 $screen" "$0" --on-screen
fi

# From here on we are on the virtual screen. The demo's folders go into a cache folder of our own,
# so a demo the user has prepared stays as it is.
cache="$(mktemp -d "${TMPDIR:-/tmp}/vorlax.XXXX")"
pids=()
cleanup() {
    [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
    rm -rf "$cache"
}
trap cleanup EXIT
mapfile -t folders < <(XDG_CACHE_HOME="$cache" "$root/scripts/demo-prepare.sh" "$root/build/Vorlax")
for folder in "${folders[@]}"; do
    (cd "$folder" && exec ./Vorlax) &
    pids+=($!)
done

# Polls a condition (a command) for up to 20 s.
wait_for() {
    local what="$1"
    shift
    for _ in $(seq 200); do
        "$@" && return 0
        sleep 0.1
    done
    echo "screenshot: $what did not happen" >&2
    exit 1
}
windows_shown() { [ "$(xwininfo -root -tree | grep -c "\"Vorlax\": (\"Vorlax\"")" -eq 2 ]; }
# The status ball of copy N (0 left, 1 right) is green.
ball_green() {
    local x=$(($1 * (width + gap) + 787)) y=$((top + 37)) rgb
    read -r -a rgb < <(import -window root -crop "1x1+$x+$y" -format "%[fx:int(255*r)] %[fx:int(255*g)]" info:)
    [ "${rgb[1]}" -gt 150 ] && [ "${rgb[0]}" -lt 120 ]
}
# Clicks at x, y of copy N's window.
click() { xdotool mousemove $(($1 * (width + gap) + $2)) $((top + $3)) click 1; }
settle() { sleep 0.5; }

wait_for "the two windows" windows_shown
settle
for n in 0 1; do click $n 418 37; settle; done # "Offline": both go online
for n in 0 1; do
    click $n 748 99  # the "Connected to" page
    click $n 600 375 # the address book's one entry, 127.0.0.1, below the copies found
    click $n 209 37  # "Connect"
    wait_for "the green ball on copy $n" ball_green $n
done

# A file traded each way: each copy asks for the first file the other offers, both agree.
click 0 104 99 # "File-Transfer" page
click 1 104 99
settle
click 0 15 139 # the first file the other copy offers
click 0 534 37 # "Ask for download"
settle
click 1 15 139 # and the other way round
click 1 534 37
settle
click 0 672 37 # "Start download" on both
settle
click 1 672 37
received() { [ "$(find "${folders[0]}/save" "${folders[1]}/save" -type f | wc -l)" -eq 2 ]; }
wait_for "the traded files" received
click 0 29 99 # back to the board
click 1 29 99
settle

# A wave and a circle on the left board, drawn with small pauses as a hand would.
awk -v top="$top" 'BEGIN {
    pi = atan2(0, -1)
    printf "mousemove 60 %d mousedown 1\n", top + 290
    for (i = 0; i <= 240; i++) {
        t = i / 240
        printf "mousemove %d %d\nsleep 0.01\n", 60 + 456 * t, top + 290 - 90 * sin(3 * pi * t) * (0.4 + 0.6 * t)
    }
    printf "mouseup 1\nmousemove 420 %d mousedown 1\n", top + 430
    for (i = 0; i <= 120; i++) {
        a = i / 120 * 2 * pi
        printf "mousemove %d %d\nsleep 0.01\n", 380 + 40 * cos(a), top + 430 + 40 * sin(a)
    }
    print "mouseup 1"
}' | xdotool -
settle
click 0 401 622
xdotool key ctrl+a type "Hello from copy A - can you see the wave?"
xdotool key Return
settle
click 1 401 622
xdotool key ctrl+a type "Yes, it just arrived here. Nice circle too!"
xdotool key Return
settle

import -window root -crop "${width}x${height}+0+$top" +repage -colors 64 "png8:$out"
echo "screenshot: $out ($(stat -c %s "$out") bytes)"
