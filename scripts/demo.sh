#!/usr/bin/env bash
# Two copies of Vorlax on this machine, side by side, ready to talk to each other: builds if
# needed, prepares a fresh folder for each copy (scripts/demo-prepare.sh) and starts both.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
mapfile -t folders < <("$root/scripts/demo-prepare.sh" "$root/build/Vorlax")
echo 'Click "Offline" on both copies (it then reads "Online"); then on each pick 127.0.0.1 on the "Connected to" page (or type it into "IP:") and click "Connect".'
echo 'When both balls are green, draw, chat, and trade the sample files on the "File-Transfer" page.'
pids=()
for folder in "${folders[@]}"; do
    (cd "$folder" && exec ./Vorlax) &
    pids+=($!)
done
wait "${pids[@]}"
