#!/usr/bin/env bash
# Runs every libFuzzer harness for a bounded time and prints its execution count. Each starts
# from its checked-in corpus (fuzz/*/corpus/NAME, read only); new inputs go to fuzz-corpus/NAME.
set -euo pipefail
build="$1"
seconds="${2:-60}"
status=0
for fuzzer in "$build"/fuzzers/*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus="fuzz-corpus/$name"
    mkdir -p "$corpus"
    log="$build/$name.log"
    echo "fuzz: $name for ${seconds}s"
    seeds=(fuzz/*/corpus/"$name")
    [ -d "${seeds[0]}" ] || seeds=()
    if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
        echo "fuzz: $name clean, $runs executions"
    else
        echo "fuzz: $name FOUND A FAULT, see $log"
        tail -n 30 "$log"
        status=1
    fi
done
exit $status
