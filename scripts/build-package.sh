#!/usr/bin/env bash
# Builds Orvane's Debian package: a Release build of the program alone in build/package, with
# the compiler and linker flags Debian builds its own packages with, packed by CPack with the
# desktop entry, icons, AppStream metadata, manual page, copyright, changelog and udev rule.
# Prints the package's path. Extra arguments go to CMake, e.g.
# -DORVANE_CLOUD_URL=https://cloud.example.com
# Needs: build-essential cmake qtbase5-dev libqt5serialport5-dev dpkg-dev
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/package
# Ninja when it is there (the test command installs it); a folder made by another generator
# is made afresh.
generator=${CMAKE_GENERATOR:-$(command -v ninja >/dev/null && echo Ninja || echo "Unix Makefiles")}
if [ -f "$dir/CMakeCache.txt" ] \
    && ! grep -qx "CMAKE_GENERATOR:INTERNAL=$generator" "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
fi

# Debian's flags with every hardening feature on: stack protector, _FORTIFY_SOURCE, format
# checks, read-only relocations and immediate binding (PIE is the compiler's default). The
# optimisation comes from these flags too, so Release adds nothing but NDEBUG. Given as cache
# values, so a reconfigured build directory takes them as well.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags=$(dpkg-buildflags --get CFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

# A package manager owns the installed program: it never replaces itself.
cmake -S . -B "$dir" -G "$generator" -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TOOLS=OFF -DORVANE_SELF_UPDATE=OFF \
      -DCMAKE_C_FLAGS="$cppflags $cflags" -DCMAKE_CXX_FLAGS="$cppflags $cxxflags" \
      -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
      -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
      "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target Orvane orvane_package_documents
rm -f "$dir"/orvane_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/orvane_*.deb
