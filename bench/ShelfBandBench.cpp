// The dynamic-phase shelving stage: a 200 Hz .. 3 kHz band at 36 dB/oct (three second-order
// sections per edge), 256-sample blocks at 48 kHz, optimised build, baseline x86-64.
// ns/sample counts one channel's samples (the pair reports per channel). CPU time, medians of 7
// repetitions on a loaded 2-core machine (load 2-6, so +-10 %); previous version -> now, measured
// side by side:
//   static gain (-6 dB)                                   8 -> 6-8 ns/sample
//   gain moving every sample (compander output)           43 -> 21-23 ns/sample
//   moving, 30 dB/oct (the corners follow the level)      49 -> 35 ns/sample
//   moving, upper edge at its limit (no upper sections)   27 -> 16 ns/sample
//   stereo pair sharing one schedule, moving gain         23-26 -> 13 ns/sample per channel
// With the gain moving every sample (perf), per sample: the cascades 7.5 ns (one pass, the upper
// edge's sections in the second SSE2 lane four samples behind the lower edge's, each point's
// coefficients read in place); the gain levels and section gains 5.6 ns (one fast log and one
// fast exp per point: the 0.334 weight follows the 0.333 one by a short series, the cutting edge
// takes reciprocals); the numerators 4.2 ns (double precision; while the corners stay only they
// move, the denominators hold); the gain points 1.7 ns. The corner adjustment is skipped for
// batches whose gains provably leave gain and corners alone. At 30 dB/oct the corners move with
// every point: full coefficients (a single-precision reciprocal refined in double) and a fast exp
// more, about 13 ns more. Mono is still 1-3 ns over the 20 ns/sample budget; what is left is the
// cascades' double arithmetic, the fast exp's latency and the numerators' stores.
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

// Arg: 0 static gain, 1 gain moving every sample, 2 moving at 30 dB/oct (the corners follow the
// level, so every point also has new denominators), 3 moving with the upper edge at its limit.
void configure(ShelfBand& band, int64_t kind) {
    const float slope = kind == 2 ? 30.0f : 36.0f;
    band.lowerFrequencyLimitOctaves() = static_cast<float>(kOctave30Hz);
    band.upperFrequencyLimitOctaves() = static_cast<float>(kOctave30kHz);
    band.lowerFrequencyOctaves().parameter().setValue(std::log2(200.0f), 0.0f);
    band.upperFrequencyOctaves().parameter().setValue(
        kind == 3 ? static_cast<float>(kOctave30kHz) : std::log2(3000.0f), 0.0f);
    band.lowerSlopeDbPerOctave().parameter().setValue(slope, 0.0f);
    band.upperSlopeDbPerOctave().parameter().setValue(slope, 0.0f);
    band.gain().parameter().setValue(0.5f, 0.0f);
}

void BM_ShelfBandMono(benchmark::State& state) {
    _mm_setcsr(_mm_getcsr() |
               0x8040);  // flush-to-zero and denormals-are-zero, as the processor runs
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, audio(0.0));
    bench::TableSource gain(&env, movingGain());
    ShelfBand band(&env);
    band.setInput(&input);
    configure(band, state.range(0));
    if (state.range(0) != 0) band.setGainInput(&gain);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        benchmark::DoNotOptimize(band.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_ShelfBandMono)->Arg(0)->Arg(1)->Arg(2)->Arg(3);

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
        configure(*band, 1);
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
