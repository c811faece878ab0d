// The dynamic-phase shelving stage: a 200 Hz .. 3 kHz band at 36 dB/oct (four second-order
// sections per edge), 256-sample blocks at 48 kHz, optimised build, baseline x86-64.
// ns/sample counts one channel's samples (the pair reports per channel). Wall time on a loaded
// 2-core machine (load 3-4), first version -> now:
//   static gain (-6 dB)                             10 -> 8 ns/sample
//   gain moving every sample (compander output)     111 -> 45-55 ns/sample
//   stereo pair sharing one schedule, moving gain   59-64 -> 25-31 ns/sample per channel
// With the gain moving every sample (perf), per sample: the corner adjustment (adjustCorners,
// 4-wide: two fast logs, one fast exp and a Newton square root per point) 16 ns, the sections'
// double-precision coefficients (computeEdge; equal sections copied) 10 ns, the cascades (one
// coefficient set per sample, unit sections skipped) 7 ns, the section gains (one fast exp per
// distinct weight, the cutting edge takes reciprocals) 6 ns, the per-sample set pointers 2 ns.
// Still above the 20 ns/sample the finished processor needs; what is left is the arithmetic of
// the corner adjustment and the coefficients per gain point.
// Re-measure with scripts/bench.sh after changes to src/dynamics or the biquad engine.

#include <benchmark/benchmark.h>

#include <xmmintrin.h>

#include <cmath>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "dynamics/ShelfBand.h"
#include "engine/wave/Environment.h"
#include "support/Octave.h"

namespace {

using namespace tessel;

constexpr int32_t kFrames = 256;
constexpr int32_t kTable = 1 << 16;

std::vector<float> audio(double phase) {
    std::vector<float> v(kTable);
    for (int32_t n = 0; n < kTable; ++n)
        v[n] = static_cast<float>(0.5 * std::sin(0.031 * n + phase) + 0.3 * std::sin(0.47 * n));
    return v;
}

// A compander-like gain between -18 and 0 dB that moves every sample.
std::vector<float> movingGain() {
    std::vector<float> v(kTable);
    for (int32_t n = 0; n < kTable; ++n)
        v[n] = static_cast<float>(std::pow(10.0, (-9.0 + 9.0 * std::sin(0.002 * n)) / 20.0));
    return v;
}

void configure(ShelfBand& band) {
    band.lowerFrequencyLimitOctaves() = static_cast<float>(kOctave30Hz);
    band.upperFrequencyLimitOctaves() = static_cast<float>(kOctave30kHz);
    band.lowerFrequencyOctaves().parameter().setValue(std::log2(200.0f), 0.0f);
    band.upperFrequencyOctaves().parameter().setValue(std::log2(3000.0f), 0.0f);
    band.lowerSlopeDbPerOctave().parameter().setValue(36.0f, 0.0f);
    band.upperSlopeDbPerOctave().parameter().setValue(36.0f, 0.0f);
    band.gain().parameter().setValue(0.5f, 0.0f);
}

// Arg: 0 static gain, 1 gain moving every sample.
void BM_ShelfBandMono(benchmark::State& state) {
    _mm_setcsr(_mm_getcsr() |
               0x8040);  // flush-to-zero and denormals-are-zero, as the processor runs
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, audio(0.0));
    bench::TableSource gain(&env, movingGain());
    ShelfBand band(&env);
    band.setInput(&input);
    configure(band);
    if (state.range(0) != 0) band.setGainInput(&gain);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        benchmark::DoNotOptimize(band.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_ShelfBandMono)->Arg(0)->Arg(1);

// Both channels of a band with the same (moving) gain: one schedule, one pass.
void BM_ShelfBandStereoPair(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource left(&env, audio(0.0));
    bench::TableSource right(&env, audio(1.0));
    bench::TableSource gain(&env, movingGain());
    ShelfBand first(&env);
    ShelfBand second(&env);
    first.setInput(&left);
    second.setInput(&right);
    for (ShelfBand* band : {&first, &second}) {
        configure(*band);
        band->setGainInput(&gain);
    }
    second.setPartner(&first);
    tessel::bench::NsPerSample timer(state, 2 * kFrames);
    for (auto _ : state) {
        env.beginCycle();
        benchmark::DoNotOptimize(first.pull(kFrames)->data());
        benchmark::DoNotOptimize(second.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_ShelfBandStereoPair);

}  // namespace
