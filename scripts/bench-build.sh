# Sourced by the benchmark scripts: bench_build NAME TARGET... builds TARGETs in a Release tree
# of their own (build-bench/NAME, or TESSEL_BENCH_BUILD_DIR), without the tests, after
# installing what the build needs, and leaves the tree's path in $build.
# BENCH_EXTRA_PACKAGES names further Debian packages to install first.
bench_build() {
    local name="$1"
    shift
    build="${TESSEL_BENCH_BUILD_DIR:-$root/build-bench/$name}"
    # shellcheck disable=SC2086
    "$root/scripts/setup.sh" ${BENCH_EXTRA_PACKAGES:-}
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSEL_BUILD_TESTS=OFF \
        -DTESSEL_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "$build" --target "$@" --parallel "$(nproc 2>/dev/null || echo 2)"
}
