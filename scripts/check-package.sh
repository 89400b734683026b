#!/usr/bin/env bash
# Checks a built Orvane package the way a Debian packager and a Linux desktop would:
# - it holds exactly the program, the desktop entry, the icons, the AppStream metadata, the
#   manual page, the copyright file, the changelog and the udev rule;
# - lintian reports no error and no warning;
# - appstreamcli accepts the metadata (pedantic included), and the desktop entry is valid,
#   starts the program and names the icon and the window class the program's window has;
# - every icon is a PNG of its folder's size;
# - the build took dpkg-buildflags' hardening flags, and the program shows it (hardening-check);
# - the packaged program answers --version without a display;
# - the rule gives the bridge to the user at the seat; the dependencies came from
#   dpkg-shlibdeps.
# Usage: scripts/check-package.sh <package.deb> [build directory, default: the package's]
set -euo pipefail
deb=$1
build=${2:-$(dirname "$deb")}
fail() { echo "package check: $*" >&2; exit 1; }

program=usr/bin/Orvane
desktop=usr/share/applications/orvane.desktop
icon_sizes=(48 64 128 256 512)
metainfo=usr/share/metainfo/com.kestrane.orvane.metainfo.xml
manual=usr/share/man/man1/Orvane.1.gz
copyright=usr/share/doc/orvane/copyright
changelog=usr/share/doc/orvane/changelog.gz
rule=usr/lib/udev/rules.d/70-orvane-brevia.rules
icons=()
for size in "${icon_sizes[@]}"; do
    icons+=("usr/share/icons/hicolor/${size}x${size}/apps/orvane.png")
done

# Regular files only (directories end in a slash), without the leading "./".
files=$(dpkg-deb --contents "$deb" | awk '$1 ~ /^-/ { sub(/^\.\//, "", $NF); print $NF }' | sort)
expected=$(printf '%s\n' "$program" "$desktop" "${icons[@]}" "$metainfo" "$manual" \
    "$copyright" "$changelog" "$rule" | sort)
[ "$files" = "$expected" ] || fail "holds $(echo $files), expected $(echo $expected)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp"

# lintian refuses to run as root unless told; its output is shown whole. Any error or
# warning fails the check; informational tags do not.
lintian_options=(--fail-on error,warning)
[ "$(id -u)" -eq 0 ] && lintian_options+=(--allow-root)
lintian_output=$(lintian "${lintian_options[@]}" "$deb" 2>&1) || fail "lintian: $lintian_output"
[ -n "$lintian_output" ] && echo "$lintian_output"
if grep -q '^[EW]: ' <<<"$lintian_output"; then fail "lintian reports errors or warnings"; fi

# --no-net: the check must not depend on the network; the metadata names no URL anyway.
appstream_output=$(appstreamcli validate --no-net --pedantic "$tmp/$metainfo" 2>&1) \
    || fail "appstreamcli: $appstream_output"
if grep -q '^[EWIP]: ' <<<"$appstream_output"; then fail "appstreamcli: $appstream_output"; fi
grep -qx '  <launchable type="desktop-id">orvane.desktop</launchable>' "$tmp/$metainfo" \
    || fail "$metainfo does not name the desktop entry"

[ -x "$tmp/$program" ] || fail "$program is not executable"
desktop-file-validate "$tmp/$desktop" || fail "$desktop does not validate"
grep -qx 'Exec=Orvane' "$tmp/$desktop" || fail "$desktop does not start Orvane"
grep -qx 'Icon=orvane' "$tmp/$desktop" || fail "$desktop does not name the icon"
# On X11 Qt names the window's class after the application name, "Orvane"; the desktop
# uses StartupWMClass to put the window under this entry and its icon.
grep -qx 'StartupWMClass=Orvane' "$tmp/$desktop" || fail "$desktop lacks StartupWMClass=Orvane"

# PNG signature, then the IHDR chunk's width and height (big-endian) at bytes 16 to 23.
for i in "${!icon_sizes[@]}"; do
    size=${icon_sizes[$i]}
    icon=${icons[$i]}
    [ "$(od -An -tx1 -N8 "$tmp/$icon" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$icon is not a PNG"
    read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$tmp/$icon")
    width=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 ))
    height=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
    { [ "$width" -eq "$size" ] && [ "$height" -eq "$size" ]; } \
        || fail "$icon is ${width}x${height}, expected ${size}x${size}"
done

# The manual page documents the options and the files; man renders it without a warning.
page=$(gzip -dc "$tmp/$manual")
for text in '\-\-help' '\-\-version' '~/orvane' 'app.previous.log' 'Kestrane.conf'; do
    grep -qF -- "$text" <<<"$page" || fail "$manual does not mention $text"
done
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$tmp/$manual" 2>&1 >/dev/null)
[ -z "$man_warnings" ] || fail "$manual: $man_warnings"
zcat "$tmp/$changelog" | head -1 | grep -q '^orvane (7\.4) ' || fail "$changelog is not 7.4's"
head -1 "$tmp/$copyright" | grep -qx \
    'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "$copyright is not in the machine-readable format"

# The build took Debian's flags with every hardening feature (dpkg-buildflags, as
# scripts/build-package.sh gives them): compared with the build directory's cache.
cache=$build/CMakeCache.txt
[ -f "$cache" ] || fail "no $cache: give the build directory that made the package"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
for flag in $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS); do
    grep -qF -- " $flag " <<<" $(cached CMAKE_CXX_FLAGS) " || fail "the build's CXXFLAGS lack $flag"
done
for flag in $(dpkg-buildflags --get LDFLAGS); do
    grep -qF -- " $flag " <<<" $(cached CMAKE_EXE_LINKER_FLAGS) " || fail "the build's LDFLAGS lack $flag"
done

# And the program shows it: PIE, stack protector, read-only relocations, immediate binding.
# Control-flow protection is asked for only where dpkg-buildflags turns it on (Debian 13 on).
# FORTIFY is taken from the flags above: hardening-check finds only memcpy and memmove,
# whose sizes the compiler cannot know, so no call could become a checked one and it says
# "only unprotected functions found" although the build is fortified.
features=$(dpkg-buildflags --query-features hardening)
enabled() { awk -v f="$1" '$1 == "Feature:" { name = $2 } $1 == "Enabled:" && name == f { print $2 }' \
    <<<"$features" | grep -qx yes; }
hardening_options=(--nofortify)
enabled branch || hardening_options+=(--nocfprotection)
hardening_output=$(hardening-check "${hardening_options[@]}" "$tmp/$program" 2>&1) \
    || fail "hardening-check: $hardening_output"
echo "$hardening_output"

# No display and no platform chosen: --version must still answer, at once.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 10 "$tmp/$program" --version) \
    || fail "$program --version failed"
[ "$version" = "Orvane 7.4" ] || fail "$program --version printed '$version'"

grep -v '^#' "$tmp/$rule" | grep 'SUBSYSTEM=="tty"' | grep 'ATTRS{idVendor}=="04e2"' \
    | grep 'ATTRS{idProduct}=="1411"' | grep -q 'TAG+="uaccess"' \
    || fail "$rule does not give the XR21B1411 bridge to the user at the seat"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5serialport5 libqt5network5 libc6; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

echo "package check: $(basename "$deb") is lintian-clean, hardened and holds the program," \
    "desktop entry, ${#icon_sizes[@]} icons, metadata, manual page, copyright, changelog and udev rule"
