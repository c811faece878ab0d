#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Tessel needs, when any is missing,
# and any further packages named as arguments (the benchmark scripts' extras).
# Runs apt-get as root (directly, or through sudo when available) and says what it installs.
set -euo pipefail

packages=(
    g++
    cmake
    ninja-build
    pkg-config
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    libfftw3-dev
    libsndfile1-dev
    libebur128-dev
    libcairo2-dev
    clang libclang-rt-14-dev
    lv2-dev liblilv-dev lilv-utils sordi
    jalv jackd2 ardour
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "== Installing missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "error: packages missing (${missing[*]}) and not running as root; install them first" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
