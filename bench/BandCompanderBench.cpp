// The band compander: the whole gain-computer graph of one band, per processed sample (for the
// stereo pair per sample frame, both channels together), 256-sample blocks at 48 kHz, default
// settings (lookahead on, attack 0 %, release 0 %), optimised build, baseline x86-64. First run,
// wall time on a loaded 2-core machine (CPU time within 10 %):
//   mono                                              44-50 ns/sample
//   stereo pair, identical detection (second shares)  43-44 ns/sample (the comparison is free)
//   stereo pair, right channel 1 dB quieter           85-94 ns/sample (both chains run)
// Most of a chain is the fast envelope, whose drop-dependent release runs the scalar rule (about
// 34 ns/sample in DynamicsBench). Re-measure with scripts/bench.sh after changes to src/dynamics.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "dynamics/BandCompander.h"
#include "engine/wave/Environment.h"

namespace {

using namespace tessel;

constexpr int32_t kFrames = 256;

// Band audio: a 1 kHz tone whose level swings between about -50 and 0 dB, so the compander
// alternates between attack, release and rest. Precomputed, so that the figures measure the
// compander and not the test signal.
std::vector<float> bandSignal(float gain) {
    constexpr int32_t kLength = 1 << 16;
    std::vector<float> table(kLength);
    for (int32_t n = 0; n < kLength; ++n) {
        const double levelDb = -25.0 + 25.0 * std::sin(6.283185307 * n / kLength * 3.0);
        table[static_cast<std::size_t>(n)] = static_cast<float>(
            gain * std::pow(10.0, levelDb / 20.0) * std::sin(6.283185307 * 1000.0 * n / 48000.0));
    }
    return table;
}

void BM_BandCompanderMono(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, bandSignal(1.0f));
    BandCompander compander(&env);
    compander.setInput(&input);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        benchmark::DoNotOptimize(compander.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_BandCompanderMono);

// Arg 0: both channels see the same detection signal (the second shares the first's gain);
// Arg 1: the right channel is 1 dB quieter (both chains run).
void BM_BandCompanderStereo(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource left(&env, bandSignal(1.0f));
    bench::TableSource right(&env, bandSignal(state.range(0) == 0 ? 1.0f : 0.891f));
    BandCompander first(&env);
    BandCompander second(&env);
    first.setInput(&left);
    second.setInput(&right);
    second.setLinkedCompander(&first);
    first.smoothingFilter().link(&second.smoothingFilter(), BiquadProcessor::LinkKind::kFollow);
    int64_t shared = 0;
    {
        tessel::bench::NsPerSample timer(state, kFrames);
        for (auto _ : state) {
            env.beginCycle();
            benchmark::DoNotOptimize(first.pull(kFrames)->data());
            benchmark::DoNotOptimize(second.pull(kFrames)->data());
            env.advance(kFrames, 0);
            shared += second.isSharing() ? 1 : 0;
        }
    }
    state.counters["shared blocks %"] =
        benchmark::Counter(100.0 * static_cast<double>(shared) /
                           static_cast<double>(std::max<int64_t>(state.iterations(), 1)));
}
BENCHMARK(BM_BandCompanderStereo)->Arg(0)->Arg(1);

}  // namespace
