#!/usr/bin/env bash
# Checks a built Orvane package: it holds exactly the program, the desktop entry, the icon
# and the udev rule; the desktop entry is valid and names the program and the icon; the
# icon is a PNG of at least 256 x 256; the rule gives the bridge to the user at the seat;
# the dependencies came from dpkg-shlibdeps. Usage: scripts/check-package.sh <package.deb>
set -euo pipefail
deb=$1
fail() { echo "package check: $*" >&2; exit 1; }

program=usr/bin/Orvane
desktop=usr/share/applications/orvane.desktop
icon=usr/share/icons/hicolor/256x256/apps/orvane.png
rule=usr/lib/udev/rules.d/70-orvane-brevia.rules

# Regular files only (directories end in a slash), without the leading "./".
files=$(dpkg-deb --contents "$deb" | awk '$1 ~ /^-/ { sub(/^\.\//, "", $NF); print $NF }' | sort)
expected=$(printf '%s\n' "$program" "$desktop" "$icon" "$rule" | sort)
[ "$files" = "$expected" ] || fail "holds $(echo $files), expected $(echo $expected)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"

[ -x "$tmp/$program" ] || fail "$program is not executable"
desktop-file-validate "$tmp/$desktop" || fail "$desktop does not validate"
grep -qx 'Exec=Orvane' "$tmp/$desktop" || fail "$desktop does not start Orvane"
grep -qx 'Icon=orvane' "$tmp/$desktop" || fail "$desktop does not name the icon"

# PNG signature, then the IHDR chunk's width and height (big-endian) at bytes 16 to 23.
[ "$(od -An -tx1 -N8 "$tmp/$icon" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$icon is not a PNG"
read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$tmp/$icon")
width=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 ))
height=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
{ [ "$width" -ge 256 ] && [ "$height" -ge 256 ]; } || fail "$icon is ${width}x${height}"

grep -v '^#' "$tmp/$rule" | grep 'SUBSYSTEM=="tty"' | grep 'ATTRS{idVendor}=="04e2"' \
    | grep 'ATTRS{idProduct}=="1411"' | grep -q 'TAG+="uaccess"' \
    || fail "$rule does not give the XR21B1411 bridge to the user at the seat"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5serialport5 libqt5network5 libc6; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

echo "package check: $(basename "$deb") holds the program, desktop entry, icon and udev rule"
