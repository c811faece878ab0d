// A smoothed control source, per output sample, on one core of the development machine
// (optimised build, baseline x86-64):
//   ramping              0.56 ns/sample (a ramp always running; double-precision accumulation)
//   settled              0.04 ns/sample (constant block, nothing rewritten)
// Figures from the first run; re-measure with scripts/bench.sh after changes to FloatParameter.

#include <benchmark/benchmark.h>

#include "NsPerSample.h"
#include "engine/FloatParameterSource.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::FloatParameterSource;
using tessel::wave::Environment;

constexpr int32_t kFrames = 256;

void BM_FloatParameterSourceRamping(benchmark::State& state) {
    Environment env(kFrames, true);
    FloatParameterSource source(&env, 0.0f);
    int64_t cycle = 0;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        // Keep a ramp running all the time: a new target before the last one is reached.
        if (cycle++ % 4 == 0)
            source.parameter().setValue((cycle / 4) % 2 == 0 ? 0.0f : 1.0f, 100.0f);
        env.beginCycle();
        benchmark::DoNotOptimize(source.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_FloatParameterSourceRamping);

void BM_FloatParameterSourceSettled(benchmark::State& state) {
    Environment env(kFrames, true);
    FloatParameterSource source(&env, 0.5f);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        benchmark::DoNotOptimize(source.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_FloatParameterSourceSettled);

}  // namespace
