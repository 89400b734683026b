#!/usr/bin/env bash
# Builds and runs every test: once as a normal build with warnings as errors, then again
# under AddressSanitizer + UndefinedBehaviorSanitizer, failing on any report. It also builds
# the Debian package as the README says and checks what it holds.
# Installs what is missing with apt-get first. Usage: scripts/test-all.sh [ctest options]
#
# The suites mostly wait (on the emulated device's line, the cloud stand-in, timers), so
# while the normal suite runs, the sanitizer build and the package build use the idle CPU at
# the lowest priority: the suite's timing is not disturbed, and the whole run takes a few
# minutes less.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
orvane_install_packages

jobs=$(nproc)
root=$PWD
# Line tables only: enough for the sanitizers' stack traces, much cheaper than full
# debug information.
debug_flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)
orvane_fresh_build_dir build/test
orvane_fresh_build_dir build/asan

echo "== Normal build"
cmake -S . -B build/test "${debug_flags[@]}" -DORVANE_WERROR=ON >/dev/null
cmake --build build/test -j"$jobs"

echo "== Sanitizer build and Debian package build, in the background at the lowest priority"
logs=$(mktemp -d)
(
    set -e
    nice -n 19 scripts/build-package.sh -DORVANE_WERROR=ON >"$logs/package.out" 2>&1
    nice -n 19 cmake -S . -B build/asan "${debug_flags[@]}" -DORVANE_WERROR=ON \
        -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCHMARKS=OFF >"$logs/asan.out" 2>&1
    nice -n 19 cmake --build build/asan -j"$jobs" >>"$logs/asan.out" 2>&1
) &
background=$!
# Whatever happens, the background builds end with this script.
trap 'kill $background 2>/dev/null || true' EXIT

echo "== Normal suite"
(cd build/test && ctest --output-on-failure -j"$((2 * jobs))" "$@")

echo "== Waiting for the sanitizer and package builds"
if ! wait $background; then
    cat "$logs/package.out" "$logs/asan.out" 2>/dev/null | tail -n 60
    echo "== A background build failed (above)"
    exit 1
fi
trap - EXIT

echo "== Debian package check (Release build of the program alone)"
scripts/check-package.sh "$(tail -n 1 "$logs/package.out")"

echo "== Sanitizer suite (AddressSanitizer + UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
(cd build/asan && ctest --output-on-failure -j"$((2 * jobs))" "$@")

echo "== All tests passed, with and without sanitizers"
