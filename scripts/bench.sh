#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark; each prints ns per sample ("ns/sample").
# Extra arguments go to every benchmark program (e.g. --benchmark_filter=Mixer).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build/release" --parallel "$(nproc 2>/dev/null || echo 2)"
for b in "$root"/build/release/bench/tessel_*_bench; do
    echo "== $(basename "$b")"
    "$b" "$@"
done
