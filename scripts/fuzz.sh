#!/usr/bin/env bash
# Builds the fuzz targets with clang (into build-fuzz/) and runs each for a while.
#
#   scripts/fuzz.sh [seconds] [target...]    default: 60 s each, every target in fuzz/
#
# Each target starts from its seeds in fuzz/corpus/<target>/ plus what earlier runs found
# (kept in build-fuzz/corpus/<target>/). Prints each target's executions; fails on the first finding,
# whose input is left in build-fuzz/findings/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
build="$root/build-fuzz"

"$root/scripts/configure.sh" fuzz
cmake --build "$build" --target fuzzers -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$root"/fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$f" .cpp)")
    done
fi

mkdir -p "$build/findings"
for target in "${targets[@]}"; do
    name="${target#fuzz_}"
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    log="$build/$target.log"
    # A run that exceeds 10 s on one input counts as a finding (a hang), like a crash does.
    if ! "$build/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$name-" "$corpus" "$root/fuzz/corpus/$name" \
        >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$name: FINDING (input in $build/findings/, log in $log)"
        exit 1
    fi
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz_$name: ${runs:-?} executions in ${seconds} s, no finding"
done
