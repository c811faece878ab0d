// Delay line reads, per output sample, on one core of the development machine (optimised build,
// baseline x86-64):
//   integer read          0.09 ns/sample (two memcpy calls per block)
//   linear read           2.8 ns/sample  (per-sample fractional delays: scalar gathers, which
//                                         baseline SSE2 cannot vectorise)
//   all-pass read         3.4 ns/sample  (recursive: each sample depends on the previous one)
// Figures from the first run; re-measure with scripts/bench.sh after changes to Delay.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "NsPerSample.h"
#include "engine/wave/Delay.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::wave::Delay;
using tessel::wave::Environment;

constexpr int32_t kFrames = 256;

struct Fixture {
    Environment env{kFrames, true};
    Delay delay{&env, 4096};
    std::vector<float> input = std::vector<float>(kFrames);
    std::vector<float> output = std::vector<float>(kFrames);
    std::vector<float> delays = std::vector<float>(kFrames);

    Fixture() {
        for (int32_t i = 0; i < kFrames; ++i) {
            input[static_cast<std::size_t>(i)] = std::sin(0.01f * static_cast<float>(i));
            // A slowly modulated delay around 1000 samples, as a chorus or lookahead change would.
            delays[static_cast<std::size_t>(i)] =
                1000.0f + 37.3f * std::sin(0.003f * static_cast<float>(i));
        }
        for (int i = 0; i < 32; ++i)
            delay.write(input.data(), kFrames);
    }
};

void BM_DelayReadInteger(benchmark::State& state) {
    Fixture f;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        f.delay.write(f.input.data(), kFrames);
        f.delay.read(1000, f.output.data(), kFrames);
        benchmark::DoNotOptimize(f.output.data());
    }
}
BENCHMARK(BM_DelayReadInteger);

void BM_DelayReadLinear(benchmark::State& state) {
    Fixture f;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        f.delay.write(f.input.data(), kFrames);
        f.delay.readLinear(f.delays.data(), f.output.data(), kFrames);
        benchmark::DoNotOptimize(f.output.data());
    }
}
BENCHMARK(BM_DelayReadLinear);

void BM_DelayReadAllpass(benchmark::State& state) {
    Fixture f;
    float allpassState = 0.0f;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        f.delay.write(f.input.data(), kFrames);
        f.delay.readAllpass(f.delays.data(), f.output.data(), allpassState, kFrames);
        benchmark::DoNotOptimize(f.output.data());
    }
}
BENCHMARK(BM_DelayReadAllpass);

}  // namespace
