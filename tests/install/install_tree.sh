#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks the installed tree: the program, its desktop
# entry, icon and metadata under one desktop id that refer to each other, both validators'
# verdicts where the validators are present, and that the installed program keeps its text files
# in the user's configuration folder although this user may write the program's folder.
set -euo pipefail
build="$1"
id="io.github.vorlax.Vorlax"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
fail() { echo "install tree: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

program="$prefix/bin/Vorlax"
desktop="$prefix/share/applications/$id.desktop"
icon="$prefix/share/icons/hicolor/scalable/apps/$id.svg"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
[ -x "$program" ] || fail "no executable $program"
for f in "$desktop" "$icon" "$metainfo"; do [ -s "$f" ] || fail "missing or empty: $f"; done

grep -qx "Exec=Vorlax" "$desktop" || fail "the desktop entry does not start bin/Vorlax"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry does not name the installed icon"
grep -q "<svg[ >]" "$icon" || fail "the icon is no SVG picture"
grep -q "<id>$id</id>" "$metainfo" || fail "the metadata's id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "the metadata does not launch the installed desktop entry"
grep -q "<binary>Vorlax</binary>" "$metainfo" || fail "the metadata does not provide bin/Vorlax"

if command -v desktop-file-validate >/dev/null; then
    out="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate: $out"
else
    echo "desktop-file-validate not installed; skipped"
fi
if command -v appstreamcli >/dev/null; then
    out="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli: $out"
else
    echo "appstreamcli not installed; skipped"
fi
# The installed program, started with its check option on settings of free ports (0: the system
# chooses), so it needs no privilege and takes no port another run may want. The settings lie where
# an installed copy must look for them; the check says where it looked, and closing writes them.
home="$prefix/home"
config="$home/config/Vorlax"
mkdir -p "$config"
line() { printf '%s\r\n' "$@"; }
{
    line "$home/save/" "$home/trade/" "install-tree"
    line 0 0 0 0 0 483 484 500 487 488 2000 0 0 501 502 811 659 40 0
} >"$config/Vorlax.ini"
out="$(cd "$home" && HOME="$home" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=offscreen \
    "$program" --check-online 2>&1)" || fail "the installed program's check failed: $out"
grep -qx "Text files: $config/" <<<"$out" || fail "the installed program looks elsewhere: $out"
[ "$(ls "$prefix/bin")" = "Vorlax" ] || fail "files beside the installed program: $(ls "$prefix/bin")"
echo "install tree: ok"
