// The minimum-phase band splitter (MultiBand) on one channel: every model band output pulled each
// cycle of 256 samples at 48 kHz, steady crossovers spread evenly from 60 Hz to 12 kHz.
// Arguments: model bands (3 or 13), slope in dB/oct (24 or 48). ns/sample is per input sample
// (all band outputs together).
// Baseline (Release, 2 shared cores, median of 5, CPU time): 3 bands 13 ns at 24 dB/oct, 22 ns
// at 48; 13 bands 118 ns at 24 dB/oct, 180-197 ns at 48. That is about 1.3 ns per biquad section
// and sample (13 bands at 48 dB/oct run 96 crossover sections plus 25 all-passes of 2 sections),
// so the biquad kernel, not the tree, sets the cost. The crossovers run the state-variable
// kernel (bounded under frequency jumps); on the direct form they ran within 5-10 % of this.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/MultiBand.h"
#include "engine/wave/Environment.h"

namespace {

constexpr int32_t kFrames = 256;

std::vector<float> testSignal() {
    std::vector<float> v(kFrames);
    for (int32_t i = 0; i < kFrames; ++i)
        v[static_cast<std::size_t>(i)] =
            static_cast<float>(std::sin(0.05 * i) + 0.25 * std::sin(1.3 * i));
    return v;
}

void BM_MultiBandSplit(benchmark::State& state) {
    const int32_t bands = static_cast<int32_t>(state.range(0));
    const float slope = static_cast<float>(state.range(1));
    tessel::wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    tessel::CrossoverMultiBandModel model;
    {
        tessel::UpdatedObject::ScopedHold hold(model);
        model.bandCount() = bands;
        const double low = std::log2(60.0), high = std::log2(12000.0);
        for (int32_t k = 0; k + 1 < bands; ++k) {
            const double t = bands > 2 ? static_cast<double>(k) / (bands - 2) : 0.5;
            model.crossover(k).frequencyOctaves() = static_cast<float>(low + t * (high - low));
            model.crossover(k).slopeDbPerOctave() = slope;
        }
    }
    tessel::bench::TableSource source(&env, testSignal());
    tessel::MultiBand split(&env, &model);
    split.setInput(&source);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        for (int32_t j = 0; j < bands; ++j)
            benchmark::DoNotOptimize(split.output(j)->pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}

}  // namespace

BENCHMARK(BM_MultiBandSplit)->Args({3, 24})->Args({3, 48})->Args({13, 24})->Args({13, 48});
