#!/usr/bin/env bash
# Builds Tessel twice and runs the whole test suite on each build:
#   1. an optimised build (build/release), the one we ship and benchmark, then the LV2 plug-ins
#      in real hosts (jalv on a JACK server with the dummy backend, Ardour 7 headless);
#   2. a build with AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize);
#   3. a ThreadSanitizer build (build/tsan) of the suites whose tests cross threads, running only
#      those tests, so the hand-overs between audio, reader and worker threads are checked too;
#   4. a short libFuzzer pass (clang, build/fuzz) over the readers of saved state and presets,
#      with a fixed seed so that it explores the same inputs every time.
# On a fresh Debian 12 machine it first installs the Debian packages the build needs.
# Any failure exits non-zero.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/setup.sh"

jobs="$(nproc 2>/dev/null || echo 2)"

run_build() {
    local dir="$1"
    shift
    echo "== Configuring $dir"
    cmake -S "$root" -B "$root/$dir" -G Ninja "$@"
    echo "== Building $dir"
    cmake --build "$root/$dir" --parallel "$jobs"
    echo "== Testing $dir"
    ctest --test-dir "$root/$dir" --output-on-failure --parallel "$jobs" --timeout 600 -LE hosts
}

run_build build/release -DCMAKE_BUILD_TYPE=Release
# The LV2 plug-ins in real hosts (jalv on JACK, Ardour headless): alone, after the rest, so that
# the hosts' audio threads keep their timing.
echo "== Testing build/release in real hosts"
ctest --test-dir "$root/build/release" --output-on-failure --timeout 600 -L hosts
# The sanitizer build does not need the benchmarks; -O1 keeps it quick while the checks stay exact.
run_build build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=ON \
    -DTESSEL_BUILD_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"

# Only the executables that hold thread-crossing tests, and only those tests.
echo "== Configuring build/tsan"
cmake -S "$root" -B "$root/build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSEL_THREAD_SANITIZE=ON \
    -DTESSEL_BUILD_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
echo "== Building build/tsan"
cmake --build "$root/build/tsan" --parallel "$jobs" \
    --target tessel_support_tests tessel_engine_tests tessel_analysis_tests
echo "== Testing build/tsan (thread-crossing tests)"
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir "$root/build/tsan" --output-on-failure \
    --parallel "$jobs" --timeout 600 -R "Threads|Concurrent|AsyncEventQueue|LockedObject"

# 20000 inputs per target: about a minute and a half with the build on 2 cores.
echo "== Fuzzing the preset readers"
TESSEL_FUZZ_SEED=1 "$root/scripts/fuzz.sh" 20000

echo "== All tests passed in all builds"
