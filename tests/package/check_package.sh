#!/usr/bin/env bash
# The packaging check: builds the Debian package from the build folder (build/, or the one given),
# lets lintian check it (any error fails), lists it, installs it with apt-get, and as an ordinary
# user made for the check starts the installed program with its check option ("Vorlax
# --check-online": offscreen, goes online with a new user's settings, the default ports, prints
# which listeners listen and ends). Then it removes the package (purge) and checks that nothing of
# it is left. Needs root, or sudo; it refuses to run where the package is installed already, since
# it would remove it.
#
# The default ports are below 1024: the program holds no capability; the helper vorlax-bind, the
# only capable file of the package, opens those ports (and no other) for it. The installed copy
# listens there only if the file system carries the capability the package grants the helper.
# Where it cannot, the check says so, and checks instead that the installation said it plainly and
# that the program names the fix.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build}"
program=/usr/bin/Vorlax
helper=/usr/libexec/vorlax/vorlax-bind
user=vorlax-check
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
fail() { echo "package check: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' vorlax 2>/dev/null | grep -q "install ok installed"; then
    fail "vorlax is installed on this machine; remove it first (apt-get purge vorlax)"
fi
deb="$("$root/scripts/package.sh" "$build" | tail -n 1)"
[ -f "$deb" ] || fail "no package was made"
case "$(basename "$deb")" in
    vorlax_*_"$(dpkg --print-architecture)".deb) ;;
    *) fail "unexpected package name $(basename "$deb")" ;;
esac

echo "== lintian $(basename "$deb")"
lint_status=0
report="$(lintian --fail-on error --display-info "$deb" 2>&1)" || lint_status=$?
grep -v '^running with root privileges' <<<"$report" || true
[ "$lint_status" -eq 0 ] || fail "lintian reports errors"

echo "== contents"
dpkg-deb --info "$deb" | sed -n '/Depends:/p;/Recommends:/p'
dpkg-deb --contents "$deb" | awk '{print $1, $NF}'

cleanup() {
    "${as_root[@]}" userdel --remove "$user" >/dev/null 2>&1 || true
    "${as_root[@]}" rm -rf "/tmp/runtime-$user" # Qt's stand-in for the user's runtime folder
    "${as_root[@]}" apt-get purge -y -qq vorlax >/dev/null 2>&1 || true
}
trap cleanup EXIT

echo "== install"
install_log="$("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "$(realpath "$deb")" 2>&1)" ||
    fail "apt-get install failed: $install_log"
# Every capable file the package installed, by getcap over all of them: the helper alone.
capabilities="$(dpkg -L vorlax | while read -r f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 getcap -r)"
echo "capable files of the package: ${capabilities:-none}"
if grep -v "^$helper " <<<"$capabilities" | grep -q .; then
    fail "a file other than $helper is capable: $capabilities"
fi
if grep -q "^$helper cap_net_bind_service=ep\$" <<<"$capabilities"; then
    capable=true
else
    capable=false
    echo "this machine's file system does not carry file capabilities under $helper: the check" \
        "below expects the listeners on low ports to fail and the fix to be named"
    grep -q "could not give $helper the right to open ports below 1024" <<<"$install_log" ||
        fail "the installation did not say that the capability could not be granted: $install_log"
fi

echo "== going online as the ordinary user $user"
"${as_root[@]}" userdel --remove "$user" >/dev/null 2>&1 || true
"${as_root[@]}" useradd --create-home --shell /bin/sh "$user"
home="$(getent passwd "$user" | cut -d: -f6)"
set +e
out="$(cd / && "${as_root[@]}" runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin \
    QT_QPA_PLATFORM=offscreen "$program" --check-online 2>&1)"
status=$?
set -e
echo "$out"
echo "== the helper refuses a port that is not a default listening port"
set +e
refusal="$(cd / && "${as_root[@]}" runuser -u "$user" -- env -i "$helper" 0.0.0.0 80 2>&1 </dev/null)"
refused=$?
set -e
echo "$refusal"
[ "$refused" -eq 2 ] && grep -q "refused" <<<"$refusal" || fail "the helper did not refuse port 80"
grep -qx "Text files: $home/.config/Vorlax/" <<<"$out" ||
    fail "the installed program does not keep its text files in the user's configuration folder"
if $capable; then
    [ "$status" -eq 0 ] || fail "an ordinary user cannot go online on the default ports"
    for port in 484 488 501 400; do
        grep -q "listening on port $port\$" <<<"$out" || fail "nothing listens on port $port"
    done
else
    [ "$status" -ne 0 ] || fail "the listeners opened without the capability"
    grep -q "sudo setcap cap_net_bind_service=+ep '$helper'" <<<"$out" ||
        fail "the program does not name the fix"
fi

echo "== remove"
"${as_root[@]}" apt-get purge -y -qq vorlax >/dev/null
! dpkg-query -W -f='${Status}' vorlax 2>/dev/null | grep -q "install ok installed" || fail "still installed"
for f in "$program" "$helper" /etc/ufw/applications.d/vorlax /usr/lib/firewalld/services/vorlax.xml \
    /usr/share/applications/io.github.vorlax.Vorlax.desktop \
    /usr/share/metainfo/io.github.vorlax.Vorlax.metainfo.xml /usr/share/doc/vorlax; do
    [ ! -e "$f" ] || fail "left behind: $f"
done
echo "package check: ok"
