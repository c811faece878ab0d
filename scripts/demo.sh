#!/usr/bin/env bash
# The first command on a fresh Debian 12 machine: installs the Debian packages the build needs,
# builds the `tessel` tool alone in build/release (optimised), and renders the built-in demo
# signal with our presets in every processing mode into build/demo: the input, one processed
# file per run and a report picture (.png) beside each. Arguments go to `tessel demo` (e.g.
# --quick for a 5-second demo). Any failure exits non-zero.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/setup.sh"

jobs="$(nproc 2>/dev/null || echo 2)"
echo "== Configuring build/release"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release
echo "== Building tessel"
cmake --build "$root/build/release" --target tessel --parallel "$jobs"

echo "== Rendering the demo"
"$root/build/release/apps/tessel/tessel" demo "$root/build/demo" "$@"
echo "== The demo input, the processed files and their reports are in $root/build/demo"
