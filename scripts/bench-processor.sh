#!/usr/bin/env bash
# Builds the whole-processor benchmark (Release, in its own tree) and prints its realtime factors:
# stereo, 48 kHz, 256-sample blocks, 4 and 6 compressing bands, each Processing Mode with
# Oversampling Off and 2x, the median of 3 runs each, against the aims (Minimum Phase 100 x
# realtime or more, Dynamic Phase and Linear Phase 50 x or more). About 30 s once built; the
# first build of the tree takes a few minutes.
# Extra arguments go to the benchmark program (e.g. --benchmark_min_time=1).
# TESSEL_BENCH_BUILD_DIR chooses the build tree (default build-bench/processor).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/bench-build.sh
source "$root/scripts/bench-build.sh"
bench_build processor tessel_processor_bench

results="$build/processor-bench.csv"
# Other work on the machine lowers the figures: the load average says how quiet it was.
echo "== Whole processor: 12 cases x 3 runs; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/tessel_processor_bench" --benchmark_filter='^BM_Processor/' \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=csv "$@" >"$build/processor-bench.log" 2>&1 ||
    {
        tail -n 20 "$build/processor-bench.log" >&2
        exit 1
    }

# The CSV's columns are found by name; rows are the medians (or a failed case's error).
awk '
    # Splits a CSV line into f[1..n] (quoted fields may hold commas and doubled quotes).
    function split_csv(line, f,    n, i, c, field, quoted) {
        n = 1; field = ""; quoted = 0
        for (i = 1; i <= length(line); ++i) {
            c = substr(line, i, 1)
            if (quoted && c == "\"" && substr(line, i + 1, 1) == "\"") { field = field c; ++i }
            else if (c == "\"") quoted = !quoted
            else if (c == "," && !quoted) { f[n++] = field; field = "" }
            else field = field c
        }
        f[n] = field
        return n
    }
    /^name,/ {
        n = split_csv($0, f)
        for (i = 1; i <= n; ++i) column[f[i]] = i
        started = 1
        next
    }
    !started { next }
    {
        split_csv($0, f)
        name = f[1]
        if (name !~ /^BM_Processor\//) next
        failed = f[column["error_occurred"]] == "true"
        if (!failed && name !~ /_median$/) next
        sub(/_median$/, "", name)
        split(name, part, "/")
        mode = substr(part[2], 6); oversampling = substr(part[3], 14); bands = substr(part[4], 7)
        key = mode " " oversampling " " bands
        if (key in seen) next
        seen[key] = 1
        modeName = mode == 0 ? "Linear Phase" : mode == 1 ? "Dynamic Phase" : "Minimum Phase"
        aim = mode == 2 ? 100 : 50
        if (failed) {
            row[key] = sprintf("%-14s %-4s %5s   error: %s", modeName,
                               oversampling == 1 ? "2x" : "Off", bands,
                               f[column["error_message"]])
            next
        }
        factor = f[column["x realtime"]] + 0
        verdict = factor >= aim ? "met" : \
            sprintf("short by %.0f %% (%.2fx faster needed)", 100 * (1 - factor / aim), aim / factor)
        row[key] = sprintf("%-14s %-4s %5s %10.1f %9.1f %9.1f   >= %3d x: %s", modeName,
                           oversampling == 1 ? "2x" : "Off", bands, factor,
                           f[column["ns/sample"]], f[column["change dB"]], aim, verdict)
    }
    END {
        printf "%-14s %-4s %5s %10s %9s %9s   %s\n", "mode", "os", "bands", "x realtime", \
               "ns/sample", "change dB", "aim"
        for (mode = 0; mode <= 2; ++mode)
            for (oversampling = 0; oversampling <= 1; ++oversampling)
                for (bands = 4; bands <= 6; bands += 2)
                    if ((mode " " oversampling " " bands) in row)
                        print row[mode " " oversampling " " bands]
        print "x realtime: audio seconds per wall second; ns/sample: per sample and channel;"
        print "change dB: output against input level (the bands compress)"
    }
' "$results"
