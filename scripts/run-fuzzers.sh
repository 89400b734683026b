#!/usr/bin/env bash
# Builds the codecs' libFuzzer targets with clang in build/fuzz and runs each for a while,
# starting from its seed corpus in fuzz/corpus/<target>/. Prints per target the runs (a run
# ends at its first finding and the next one goes on with the time left), the executions,
# the executions per second and the findings (crash, leak, timeout and out-of-memory inputs,
# kept in build/fuzz/findings/<target>/), and exits non-zero on any finding.
# Leaks are looked for once the time is up, by running every input of the corpus again with
# whole stacks: recording them at each allocation would slow the fuzzing tenfold, and without
# them a leak inside Qt (fuzz/lsan.supp) cannot be told from ours.
# Installs clang and its runtime with apt-get when missing. Not part of the tests: it takes
# minutes.
# Usage: scripts/run-fuzzers.sh [seconds per target, default 60] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=60
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
# A target that keeps failing at once is not run again without end.
max_runs=5

source scripts/packages.sh
orvane_packages=(build-essential cmake pkg-config qtbase5-dev libqt5serialport5-dev
                 clang libclang-rt-14-dev)
orvane_install_packages

build=build/fuzz
orvane_fresh_build_dir "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_WERROR=ON -DORVANE_FUZZ=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target orvane_fuzzers -j"$(nproc)"

# Each entry names the executable and the seed corpus (written by orvane_add_fuzzer).
if [ $# -gt 0 ]; then
    targets=("$@")
else
    mapfile -t targets < <(ls "$build/fuzzers")
fi

export UBSAN_OPTIONS="print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:print_suppressions=0"
fuzz_asan="detect_leaks=0"
leak_asan="detect_leaks=1:fast_unwind_on_malloc=0"
errors='^(==[0-9]+== ?ERROR|SUMMARY:|property broken)'
summary=()
total_findings=0
for target in "${targets[@]}"; do
    entry="$build/fuzzers/$target"
    [ -f "$entry" ] || { echo "no fuzz target named $target" >&2; exit 2; }
    { read -r program; read -r seeds; } <"$entry"
    corpus="$root/$build/corpus/$target"
    findings="$root/$build/findings/$target"
    logs="$root/$build/logs/$target"
    rm -rf "$findings" "$logs"
    mkdir -p "$corpus" "$findings" "$logs"
    inputs=("$corpus")
    [ -d "$seeds" ] && inputs+=("$seeds")

    echo "== $target: ${seconds} s"
    runs=0 executions=0
    start=$(date +%s)
    while :; do
        left=$((seconds - ($(date +%s) - start)))
        [ "$left" -gt 0 ] && [ "$runs" -lt "$max_runs" ] || break
        runs=$((runs + 1))
        log="$logs/run-$runs.log"
        # New inputs go into the first folder; the committed seeds stay as they are.
        ASAN_OPTIONS=$fuzz_asan "$program" -max_total_time="$left" -timeout=10 -detect_leaks=0 \
            -print_final_stats=1 -artifact_prefix="$findings/" "${inputs[@]}" >"$log" 2>&1 || true
        done_units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
        executions=$((executions + ${done_units:-0}))
        grep -qE "$errors" "$log" || break
        grep -E "$errors" "$log" | sed 's/^/   /'
    done
    # Every input kept, once more, for leaks.
    ASAN_OPTIONS=$leak_asan "$program" -runs=0 -detect_leaks=1 -artifact_prefix="$findings/" \
        "${inputs[@]}" >"$logs/leaks.log" 2>&1 || true
    grep -E "$errors" "$logs/leaks.log" | sed 's/^/   leak check: /' || true
    elapsed=$(($(date +%s) - start))
    found=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                                        -o -name 'oom-*' \) | wc -l)
    total_findings=$((total_findings + found))
    summary+=("$(printf '%-24s %5d %12d %9d %9d' "$target" "$runs" "$executions" \
                        "$((executions / (elapsed > 0 ? elapsed : 1)))" "$found")")
done

echo
printf '%-24s %5s %12s %9s %9s\n' target runs executions exec/s findings
printf '%s\n' "${summary[@]}"
if [ "$total_findings" -gt 0 ]; then
    echo "== $total_findings finding(s): inputs in $build/findings/, logs in $build/logs/"
    exit 1
fi
echo "== No findings"
