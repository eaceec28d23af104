#!/usr/bin/env bash
# Runs every benchmark binary of a release build; they print figures, never fail on time.
set -euo pipefail
build="$1"
for b in "$build"/benchmarks/*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b"
done
