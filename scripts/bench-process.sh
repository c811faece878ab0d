#!/usr/bin/env bash
# Times `tessel process` on a 10-minute stereo 48 kHz 24-bit WAV (the demo signal repeated) in
# Minimum Phase with four compressing bands, block 512, and prints each stage: reading,
# processing (with its realtime factor), measuring (peak, RMS, loudness in and out) and writing.
# The aims: the whole run well under 10 s; reading and writing together under a tenth of the
# processing. Builds the benchmark (Release) in its own tree first.
# TESSEL_BENCH_BUILD_DIR chooses the build tree (default build-bench/process).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/bench-build.sh
source "$root/scripts/bench-build.sh"
bench_build process tessel_process_bench
echo "== tessel process, 10 min stereo 48 kHz; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/tessel_process_bench" --benchmark_format=json 2>/dev/null | awk '
    /"(read_s|process_s|measure_s|write_s|total_s|realtime_x|io_share)"/ {
        gsub(/[",:]/, " "); v[$1] = $2
    }
    END {
        printf "read     %6.2f s\n", v["read_s"]
        printf "process  %6.2f s  (%.0f x realtime)\n", v["process_s"], v["realtime_x"]
        printf "measure  %6.2f s  (peak, RMS, loudness and loudness range, in and out)\n", v["measure_s"]
        printf "write    %6.2f s\n", v["write_s"]
        printf "total    %6.2f s  (aim: well under 10 s)\n", v["total_s"]
        printf "I/O      %6.3f of the processing  (aim: under 0.1)\n", v["io_share"]
    }'
