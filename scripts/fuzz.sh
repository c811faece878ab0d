#!/usr/bin/env bash
# Builds the libFuzzer targets of the saved-state and preset readers (tests/fuzz) with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer in build/fuzz, then runs each target in turn for
# RUNS inputs (default 1000000). Seeds come from FuzzSeeds (blocks and presets as the code writes
# them today) and data/presets; each target's corpus grows in build/fuzz/corpus/<target>, so the
# repository is never written and a later run goes on from there. A crash, leak, timeout or broken
# invariant leaves its input in build/fuzz/findings/<target> and the log in build/fuzz/logs.
# Prints, per target, the runs done, executions per second, coverage, corpus size, time and exit
# status; exits non-zero on any finding.
# TESSEL_FUZZ_SEED fixes libFuzzer's random seed (0, the default, draws one), so that a short
# pass explores the same inputs every time.
# Usage: scripts/fuzz.sh [RUNS]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs="${1:-1000000}"
build="$root/build/fuzz"
jobs="$(nproc 2>/dev/null || echo 2)"

echo "== Configuring $build"
cmake -S "$root" -B "$build" -G Ninja -DTESSEL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
echo "== Building $build"
cmake --build "$build" --parallel "$jobs"

rm -rf "$build/seeds"
"$build/tests/fuzz/FuzzSeeds" "$build/seeds"
shopt -s nullglob
for preset in "$root"/data/presets/*.vtp; do
    cp "$preset" "$build/seeds/FuzzPresetLoader/"
    cp "$preset" "$build/seeds/FuzzTextReader/"
done
mkdir -p "$build/logs" "$build/tmp"

# Target and longest input: text presets run to a few kilobytes, binary blocks to less.
targets=(FuzzBinaryReader:4096 FuzzTextReader:8192 FuzzPresetLoader:8192 FuzzPresetMap:4096)
summary=()
failed=0
for entry in "${targets[@]}"; do
    target="${entry%%:*}"
    corpus="$build/corpus/$target"
    findings="$build/findings/$target"
    log="$build/logs/$target.log"
    mkdir -p "$corpus" "$findings"
    cp "$build/seeds/$target"/* "$corpus/"
    echo "== Fuzzing $target for $runs runs"
    start=$(date +%s)
    status=0
    # TMPDIR: where FuzzPresetMap keeps the map file its locator names.
    TMPDIR="$build/tmp" "$build/tests/fuzz/$target" -runs="$runs" -max_len="${entry##*:}" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
        -seed="${TESSEL_FUZZ_SEED:-0}" \
        "$corpus" >"$log" 2>&1 || status=$?
    seconds=$(($(date +%s) - start))
    done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([^ ]*\).*/\1/p' <<<"$last")
    summary+=("$(printf '%-17s %9s runs %7s exec/s  cov %5s  corpus %-12s %5ss  exit %d' \
        "$target" "${done_runs:-?}" "${speed:-?}" "${cov:-?}" "${corp:-?}" "$seconds" "$status")")
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "!! $target exited with $status; input in $findings, log $log:"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5 || true
    fi
done

echo "== Fuzzing summary ($runs runs per target)"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
    echo "== Fuzzing found a problem"
    exit 1
fi
echo "== No findings"
