#!/usr/bin/env bash
# Builds and runs every test: once as a normal build with warnings as errors, then again
# under AddressSanitizer + UndefinedBehaviorSanitizer, failing on any report. In between it
# builds the Debian package as the README says and checks it (its files, lintian, appstreamcli,
# the icons, the hardening, --version without a display).
# Installs what is missing with apt-get first. Usage: scripts/test-all.sh [ctest options]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
orvane_install_packages

jobs=$(nproc)
root=$PWD

echo "== Normal build"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DORVANE_WERROR=ON
cmake --build build/test -j"$jobs"
(cd build/test && ctest --output-on-failure -j"$jobs" "$@")

echo "== Debian package (Release build of the program alone)"
scripts/build-package.sh -DORVANE_WERROR=ON
scripts/check-package.sh build/package/orvane_*.deb

echo "== Sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DORVANE_WERROR=ON -DORVANE_SANITIZE=ON \
      -DORVANE_BUILD_BENCHMARKS=OFF
cmake --build build/asan -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
(cd build/asan && ctest --output-on-failure -j"$jobs" "$@")

echo "== All tests passed, with and without sanitizers"
