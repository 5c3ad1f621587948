#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks the installed tree: the program, its desktop
# entry, icon and metadata under one desktop id that refer to each other, and both validators'
# verdicts where the validators are present.
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
echo "install tree: ok"
