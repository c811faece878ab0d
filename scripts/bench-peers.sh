#!/usr/bin/env bash
# Times our LV2 plug-in against other multiband compressors, each run as a host runs it (lilv,
# 48 kHz, 256-sample blocks, the same 60-second stereo signal; apps/lv2host/PeerBench.cpp): Tessel
# stereo in Dynamic, Minimum and Linear Phase with four compressing bands split at 120 Hz, 1 kHz
# and 6 kHz (threshold -30 dB, 3:1, range -12 dB), then LSP's stereo multiband compressor,
# Calf's Multiband Compressor and ZaMultiCompX2 set up alike. Prints the load average, then
# the table and the same table in Markdown. Installs the peers and lilv when missing (apt-get as
# root, or through sudo) and builds the bundle and the benchmark (Release) in its own tree first.
# TESSEL_BENCH_BUILD_DIR chooses the build tree (default build-bench/peers).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/bench-build.sh
source "$root/scripts/bench-build.sh"
BENCH_EXTRA_PACKAGES="lsp-plugins-lv2 calf-plugins zam-plugins" bench_build peers tessel_lv2 tessel_lv2_bench

# Our bundle as just built, never a copy installed in ~/.lv2; the peers from the system.
lv2_path="$build/lv2:/usr/local/lib/lv2:/usr/lib/lv2"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || true)"
if [ -n "$multiarch" ] && [ -d "/usr/lib/$multiarch/lv2" ]; then
    lv2_path="$lv2_path:/usr/lib/$multiarch/lv2"
fi
export LV2_PATH="$lv2_path"
installed="$(lv2ls)"

args=()
# Band N State 1 = Enabled; crossovers in Hz; threshold in dB; ratio as N:1. Range (the most
# gain change, default 0 dB: no change at all) at -12 dB, so that the bands really compress.
bands=(--set band_1_state=1 --set band_1_low_crossover=30 --set band_1_high_crossover=120
       --set band_2_state=1 --set band_2_low_crossover=120 --set band_2_high_crossover=1000
       --set band_3_state=1 --set band_3_low_crossover=1000 --set band_3_high_crossover=6000
       --set band_4_state=1 --set band_4_low_crossover=6000 --set band_4_high_crossover=30000)
for n in 1 2 3 4; do
    bands+=(--set "band_${n}_threshold=-30" --set "band_${n}_ratio=3"
            --set "band_${n}_range=-12")
done
# Processing Mode: 0 Linear Phase, 1 Dynamic Phase, 2 Minimum Phase.
args+=(urn:tessel:stereo --label "Dynamic Phase" --set processing_mode=1 "${bands[@]}")
args+=(urn:tessel:stereo --label "Minimum Phase" --set processing_mode=2 "${bands[@]}")
args+=(urn:tessel:stereo --label "Linear Phase" --set processing_mode=0 "${bands[@]}")
# The peers set up alike: four bands (ZaMultiCompX2 has three) split at 120 Hz, 1 kHz and 6 kHz,
# threshold -30 dB, 3:1, each in the units its ports take.
lsp_uri="$(grep -m1 '/mb_compressor_stereo$' <<<"$installed" || true)"
lsp=(--set cbe_1=1 --set sf_1=120 --set cbe_2=1 --set sf_2=1000 --set cbe_3=1 --set sf_3=6000)
calf=(--set freq0=120 --set freq1=1000 --set freq2=6000)
zam=(--set xover1=120 --set xover2=6000)
for n in 4 5 6 7; do lsp+=(--set "cbe_$n=0"); done
for n in 0 1 2 3; do
    lsp+=(--set "al_$n=0.0316" --set "cr_$n=3")  # threshold as a gain
    calf+=(--set "bypass$n=0" --set "threshold$n=0.0316" --set "ratio$n=3")
done
for n in 1 2 3; do zam+=(--set "toggle$n=1" --set "thr$n=-30" --set "rat$n=3"); done
add_peer() {
    local uri="$1"
    shift
    if grep -qxF "$uri" <<<"$installed"; then
        args+=("$uri" "$@")
    else
        echo "== $uri is not installed: skipped"
    fi
}
add_peer "${lsp_uri:-http://lsp-plug.in/plugins/lv2/mb_compressor_stereo}" "${lsp[@]}"
add_peer http://calf.sourceforge.net/plugins/MultibandCompressor "${calf[@]}"
add_peer urn:zamaudio:ZaMultiCompX2 "${zam[@]}"

echo "== LV2 plug-ins, 60 s stereo 48 kHz, block 256;" \
    "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/apps/lv2host/tessel-lv2-bench" --markdown "${args[@]}"
