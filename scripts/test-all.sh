#!/usr/bin/env bash
# Builds and runs every test: once as a normal build with warnings as errors, then again
# under AddressSanitizer + UndefinedBehaviorSanitizer, failing on any report. It also builds
# the Debian package as the README says and checks what it holds.
# Installs what is missing with apt-get first. Usage: scripts/test-all.sh [ctest options]
#
# The suites mostly wait (on the emulated device's line, the cloud stand-in, timers), and a
# build leaves a core idle now and then (while it links or generates code). So the sanitizer
# build and the package build run in the background from the start, at the lowest priority:
# they take only the CPU the normal build and suite leave, the suite's timing is not
# disturbed, and the whole run takes minutes less.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
orvane_install_packages

jobs=$(nproc)
tests_at_once=$((3 * jobs))
root=$PWD
orvane_fresh_build_dir build/test
orvane_fresh_build_dir build/asan
logs=$(mktemp -d)
started=$SECONDS
phase() { printf '== %s (%d:%02d)\n' "$1" $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)); }

phase "Sanitizer build and Debian package build start in the background"
(
    set -e
    nice -n 19 scripts/build-package.sh -DORVANE_WERROR=ON -DORVANE_UNITY_BUILD=ON \
        >"$logs/package.out" 2>&1
    # Line tables only: enough for the sanitizers' stack traces, far cheaper to compile.
    nice -n 19 cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
        -DCMAKE_C_FLAGS_DEBUG=-g1 -DORVANE_WERROR=ON -DORVANE_UNITY_BUILD=ON -DORVANE_SANITIZE=ON \
        -DORVANE_BUILD_BENCHMARKS=OFF >"$logs/asan.out" 2>&1
    nice -n 19 cmake --build build/asan -j"$jobs" >>"$logs/asan.out" 2>&1
) &
background=$!
# Whatever happens, the background builds end with this script.
trap 'kill $background 2>/dev/null || true' EXIT

phase "Normal build"
# Assertions on, no debug information: nothing reads it, and it costs a third of the time.
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g0 \
    -DCMAKE_C_FLAGS_DEBUG=-g0 -DORVANE_WERROR=ON -DORVANE_UNITY_BUILD=ON >/dev/null
cmake --build build/test -j"$jobs"

phase "Normal suite"
(cd build/test && ctest --output-on-failure -j"$tests_at_once" "$@")

phase "Waiting for the sanitizer and package builds"
if ! wait $background; then
    cat "$logs/package.out" "$logs/asan.out" 2>/dev/null | tail -n 60
    echo "== A background build failed (above)"
    exit 1
fi
trap - EXIT

phase "Debian package check (Release build of the program alone), beside the sanitizer suite"
nice -n 19 scripts/check-package.sh "$(tail -n 1 "$logs/package.out")" >"$logs/check.out" 2>&1 &
check=$!

phase "Sanitizer suite (AddressSanitizer + UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
(cd build/asan && ctest --output-on-failure -j"$tests_at_once" "$@")

if ! wait $check; then
    cat "$logs/check.out"
    echo "== The package check failed (above)"
    exit 1
fi
cat "$logs/check.out"
phase "All tests passed, with and without sanitizers"
