#!/usr/bin/env bash
# Builds Orvane's Debian package: a Release build of the program alone in build/package,
# packed by CPack with the desktop entry, the icon and the udev rule. Prints the package's
# path. Extra arguments go to CMake, e.g. -DORVANE_CLOUD_URL=https://cloud.example.com
# Needs: build-essential cmake qtbase5-dev libqt5serialport5-dev dpkg-dev
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/package
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TOOLS=OFF -DORVANE_SELF_UPDATE=OFF "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target Orvane
rm -f "$dir"/orvane_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/orvane_*.deb
