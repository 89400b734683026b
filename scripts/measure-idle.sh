#!/usr/bin/env bash
# What the real program costs at rest with no device: starts it with a throw-away HOME, lets
# it settle, then reads its CPU time (user + system, from /proc/PID/stat) over a window and
# its resident memory (now and peak, from /proc/PID/status).
#
# Usage: scripts/measure-idle.sh [program] [seconds] [platform]
#   program   default build/release/src/Orvane
#   seconds   default 60
#   platform  offscreen (default) or xvfb (the program under xvfb-run, as on a desktop)
set -euo pipefail
program=${1:-build/release/src/Orvane}
seconds=${2:-60}
platform=${3:-offscreen}
settle=5

home=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$home"' EXIT
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_RUNTIME_DIR=$home
if [ "$platform" = xvfb ]; then
    xvfb-run -a "$program" 2>"$home/debug.log" &
    launcher=$!
    # xvfb-run is a script: the program is its child.
    for _ in $(seq 50); do
        pid=$(pgrep -P "$launcher" -x "$(basename "$program")" || true)
        [ -n "$pid" ] && break
        sleep 0.1
    done
else
    QT_QPA_PLATFORM=offscreen "$program" 2>"$home/debug.log" &
    pid=$!
fi
[ -n "${pid:-}" ] || { echo "the program did not start" >&2; exit 1; }
sleep "$settle"

ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
lines_before=$(wc -l <"$home/debug.log")
start=$(date +%s.%N)
sleep "$seconds"
after=$(ticks)
end=$(date +%s.%N)
lines_after=$(wc -l <"$home/debug.log")
rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
awk -v t=$((after - before)) -v hz="$hz" -v a="$start" -v b="$end" -v rss="$rss" -v hwm="$hwm" \
    -v lines=$((lines_after - lines_before)) 'BEGIN {
    wall = b - a; cpu = t / hz
    printf "CPU: %.2f s over %.1f s = %.2f %% of one core\n", cpu, wall, 100 * cpu / wall
    printf "resident memory: now %.1f MiB, peak %.1f MiB\n", rss / 1024, hwm / 1024
    printf "debug lines meanwhile: %d\n", lines
}'
