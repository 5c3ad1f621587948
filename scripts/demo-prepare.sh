#!/usr/bin/env bash
# Prepares two copies of Vorlax that talk to each other on this machine, each in a fresh folder of
# its own under the user's cache folder: ${XDG_CACHE_HOME:-~/.cache}/vorlax-demo/a and .../b.
# Each folder holds a copy of the program (so each keeps its own "Vorlax.ini" and "Connect.ini"
# beside itself), a "Vorlax.ini" whose ports mirror the other copy's, "Connect.ini" remembering the
# other's address 127.0.0.1, a save folder, and a trade folder with a few sample files.
# Usage: demo-prepare.sh PROGRAM   (PROGRAM: the built Vorlax executable)
# VORLAX_DEMO_PORT_OFFSETS="A B" moves the two copies' ports (default "20000 30000": each port is
# its default plus the offset, so all are above 1023 and below the system's range for outgoing
# connections).
set -euo pipefail
program="$1"
[ -f "$program" ] || { echo "demo: no program at $program" >&2; exit 1; }
cache="${XDG_CACHE_HOME:-$HOME/.cache}"
demo="$cache/vorlax-demo"
read -r offset_a offset_b <<<"${VORLAX_DEMO_PORT_OFFSETS:-20000 30000}"

# The default port plan; the download row is the only one whose local and remote cells differ.
chat_server=484 chat_client=483 trade_server=488 trade_client=487 plot_server=501 plot_client=502
download_a=400 download_b=500
width=811 height=659 top=40

# One line of a text file of the program: the value and CR LF.
line() { printf '%s\r\n' "$@"; }

# prepare NAME OWN_OFFSET PEER_OFFSET OWN_DOWNLOAD PEER_DOWNLOAD LEFT
prepare() {
    local name="$1" own="$2" peer="$3" own_download="$4" peer_download="$5" left="$6"
    local dir="$demo/$name"
    mkdir -p "$dir/save" "$dir/trade"
    cp "$program" "$dir/Vorlax"
    chmod +x "$dir/Vorlax"
    # "Vorlax.ini": 22 lines, one value each, in the file's fixed order (see app/Settings.h).
    {
        line "$dir/save/" "$dir/trade/" "Vorlax-${name^^}"
        line $((chat_server + own)) $((chat_client + own)) $((own_download + own))
        line $((trade_server + own)) $((trade_client + own))
        line $((chat_client + peer)) $((chat_server + peer)) $((peer_download + peer))
        line $((trade_client + peer)) $((trade_server + peer))
        line 2000
        line $((plot_server + own)) $((plot_client + own))
        line $((plot_server + peer)) $((plot_client + peer))
        line "$width" "$height" "$top" "$left"
    } >"$dir/Vorlax.ini"
    line 127.0.0.1 >"$dir/Connect.ini"
    # Sample files to trade: two short texts and one file large enough to watch its progress.
    line "Hello from copy ${name^^}." "Tick this file on the other copy, then ask for it." \
        >"$dir/trade/hello-from-${name}.txt"
    line "Things copy ${name^^} offers:" "- this list" "- a block of random bytes" \
        >"$dir/trade/list-${name}.txt"
    head -c 2000000 /dev/urandom >"$dir/trade/random-${name}.bin"
}

case "$demo" in */vorlax-demo) rm -rf -- "$demo" ;; esac
prepare a "$offset_a" "$offset_b" "$download_a" "$download_b" 0
prepare b "$offset_b" "$offset_a" "$download_b" "$download_a" $((width + 10))
echo "$demo/a"
echo "$demo/b"
