#!/usr/bin/env bash
# The size of the tests against the code they test: non-blank lines of C++ (.cpp and .h) that
# git tracks in tests/ (support included) against src/ plus tools/, and their ratio.
# Usage: scripts/count-lines.sh [--per-file]
set -euo pipefail
cd "$(dirname "$0")/.."

lines() { git ls-files "$@" | grep -E '\.(cpp|h)$' | xargs -r cat | grep -c -v -E '^\s*$' || true; }

if [ "${1:-}" = "--per-file" ]; then
    for f in $(git ls-files tests | grep -E '\.(cpp|h)$'); do
        printf '%6d  %s\n' "$(grep -c -v -E '^\s*$' "$f" || true)" "$f"
    done | sort -n
fi
tests=$(lines tests)
code=$(lines src tools)
echo "tests/: $tests non-blank lines of C++; src/ + tools/: $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.3f (at most 1/3 = 0.333 wanted)\n", t / c }'
