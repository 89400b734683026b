#!/usr/bin/env bash
# Runs Orvane against the device emulator and the cloud stand-in on this machine.
#
# Builds a demo Orvane whose cloud address and CA are the local stand-in's and whose scan
# also lists the emulator's pty, starts the stand-in (account demo / demo1234, a newer
# firmware, the update sample offered as Orvane 7.5) and an emulated Brevia holding three
# sessions, and launches a copy of Orvane (build/demo/state/app/Orvane, which the update may
# replace) with HOME in a demo folder. With a display you work the window yourself; without
# one, the window runs under Xvfb and a pilot walks one complete sync through it (sign in,
# the application update installed over that copy, upload, firmware update), saving a
# screenshot after each step. Everything it started is stopped when Orvane exits or on Ctrl-C.
#
# Usage: scripts/run-demo.sh [--headless]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/packages.sh
orvane_install_packages

headless=0
[ "${1:-}" = "--headless" ] && headless=1
[ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && headless=1

build=$root/build/demo
orvane_fresh_build_dir "$build"
state=$build/state
user=demo
password=demo1234
jobs=$(nproc)

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=48443
while port_in_use "$port"; do port=$((port + 1)); done

echo "== Building the emulator and the stand-in"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=OFF \
      -DORVANE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target cloud-standin brevia-emulator orvane-update-sample \
    >/dev/null
standin=$build/tools/cloud-standin/cloud-standin
emulator=$build/tools/device-emulator/brevia-emulator
sample=$build/tools/update-sample/orvane-update-sample
ca=$("$standin" --certs "$build/certs" --init-only)

echo "== Building Orvane for the demo (cloud https://127.0.0.1:$port, extra port $state/brevia)"
cmake -S . -B "$build" -DORVANE_CLOUD_URL="https://127.0.0.1:$port" -DORVANE_CLOUD_CA="$ca" \
      -DORVANE_EXTRA_PORT="$state/brevia" >/dev/null
cmake --build "$build" -j"$jobs" --target Orvane orvane-demo-pilot >/dev/null

rm -rf "$state"
mkdir -p "$state/home" "$state/device" "$state/cloud" "$state/app"
# The program that runs, and that an installed update replaces: a copy, so that the build's
# own stays as it was built.
app=$state/app/Orvane
cp "$build/src/Orvane" "$app"

pids=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Prints the first line a background program writes to its output file, or fails.
wait_for_line() {
    local file=$1 pattern=$2 what=$3
    for _ in $(seq 1 100); do
        grep -m1 -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "$what did not start; its output:" >&2
    cat "$file" >&2
    return 1
}

"$standin" --certs "$build/certs" --data "$state/cloud" --port "$port" \
    --account "$user:$password" --fw-version 1320 --fw-blocks 24,64 \
    --app-version 7.5 --app-file "$sample" \
    --app-description "Orvane 7.5 (the update sample of the demo): faster uploads." \
    --log "$state/cloud/requests.jsonl" --quiet >"$state/cloud-standin.out" 2>&1 &
pids+=($!)
wait_for_line "$state/cloud-standin.out" "listening on" "cloud-standin" >/dev/null

"$emulator" --link "$state/brevia" --mode WM --fw 1310 --new-fw 1320 \
    --session 1764921600:300 --session 1765008000:420 --session 1765094400:157 \
    --baud 115200 --log "$state/device/events.jsonl" --dump-dir "$state/device" \
    >"$state/brevia-emulator.out" 2>&1 &
pids+=($!)
wait_for_line "$state/brevia-emulator.out" "/dev/pts/" "brevia-emulator" >/dev/null

echo
echo "== Cloud stand-in: https://127.0.0.1:$port   user name: $user   password: $password"
echo "== Emulated Brevia: $state/brevia (firmware 1310, three sessions)"
echo "== Orvane's home: $state/home (application folder $state/home/orvane)"
echo "== Application update on offer: Orvane 7.5 (the update sample), installed over $app"
echo

status=0
if [ "$headless" = 1 ]; then
    echo "== No display: Orvane's window under Xvfb, walked through one complete sync"
    echo "   (Orvane's debug output goes to $state/orvane-debug.log)"
    HOME="$state/home" xvfb-run -a -s "-screen 0 1024x768x24" \
        "$build/tools/demo-pilot/orvane-demo-pilot" --user "$user" --password "$password" \
        --screenshots "$state/screenshots" --update-target "$app" \
        2>"$state/orvane-debug.log" || status=$?
else
    echo "== Orvane is running; close its window to stop the demo."
    echo "   (Orvane's debug output goes to $state/orvane-debug.log)"
    echo "   Answering Yes to the application update installs the sample over $app;"
    echo "   Orvane then quits and starts it, which ends the demo."
    HOME="$state/home" "$app" 2>"$state/orvane-debug.log" || status=$?
fi

echo
echo "== What reached the cloud stand-in"
sessions=$(find "$state/cloud/sessions" -type f 2>/dev/null | sort)
if [ -n "$sessions" ]; then
    for f in $sessions; do
        same=""
        expected="$state/device/$(basename "$f")"
        if [ -f "$expected" ]; then
            cmp -s "$f" "$expected" && same=", the same bytes as the device's records" \
                || same=", DIFFERENT from the device's records"
        fi
        echo "   session $(basename "$f"): $(stat -c %s "$f") bytes$same"
    done
else
    echo "   no session stored"
fi
grep -h '"path":"/api/device/updateFirmwareVersion"' "$state/cloud/requests.jsonl" 2>/dev/null \
    | grep -o 'device \\"[^\\]*\\" reports firmware version [0-9]*' | tr -d '\\' \
    | sed 's/^/   firmware version report: /' || true
requests=$(grep -c . "$state/cloud/requests.jsonl" 2>/dev/null || true)
flagged=$(grep -vc '"violations":\[\]' "$state/cloud/requests.jsonl" 2>/dev/null || true)
echo "   requests: ${requests:-0}, with protocol violations: ${flagged:-0}"
echo "== What the emulated Brevia saw"
for event in erase restart clock image violation; do
    count=$(grep -c "\"event\":\"$event\"" "$state/device/events.jsonl" 2>/dev/null || true)
    echo "   $event: ${count:-0}"
done
grep -h '"event":"clock"' "$state/device/events.jsonl" 2>/dev/null | tail -1 \
    | sed 's/.*"data":"\([^"]*\)".*/   last clock set: \1/' || true
echo "== The application"
if [ -e "$app.previous" ]; then
    echo "   updated: $app answers \"$("$app" --version 2>&1 | head -n1)\""
    cmp -s "$app.previous" "$build/src/Orvane" \
        && echo "   the Orvane it replaced is kept as $app.previous" \
        || echo "   $app.previous is NOT the Orvane that ran"
else
    echo "   not updated: $app is the demo's Orvane"
fi
[ "$headless" = 1 ] && echo "== Screenshots: $state/screenshots"
exit "$status"
