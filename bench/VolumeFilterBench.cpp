// VolumeFilter on a varying input (256-sample cycles), per output sample:
//   constant gain        0.12 ns/sample (one vectorised multiply)
//   ramping gain         0.51 ns/sample (mostly the gain ramp itself)
//   unity gain           0.05 ns/sample (input block passed on, no arithmetic: graph overhead)
// Medians of 5-7 repetitions on one core of the shared 2-core development machine (load about
// 5, so expect +-20 %), optimised build, baseline x86-64. Re-measure with scripts/bench.sh.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "NsPerSample.h"
#include "engine/VolumeFilter.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::VolumeFilter;
using tessel::wave::BasicBlock;
using tessel::wave::Environment;

constexpr int32_t kFrames = 256;

/// A varying input that costs nothing per cycle: its block is filled once.
class FixedBlockSource final : public tessel::wave::Source {
public:
    explicit FixedBlockSource(Environment* environment) : tessel::wave::Source(environment) {
        float* d = ownBlock()->data();
        for (int32_t i = 0; i < ownBlock()->size(); ++i) {
            d[i] = static_cast<float>((i * 37) % 101 - 50) / 50.0f;
        }
    }
    void process(BasicBlock<float>* block, int32_t, int32_t) noexcept override {
        block->setConstant(false);
    }
};

void runVolume(benchmark::State& state, float gain, bool ramping) {
    Environment env(kFrames, true);
    FixedBlockSource input(&env);
    VolumeFilter volume(&env, gain);
    volume.setInput(&input);
    int64_t cycle = 0;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        // A new target every 4 cycles with a 100 ms ramp keeps the gain ramping all the time.
        if (ramping && cycle++ % 4 == 0) {
            volume.gain().parameter().setValue((cycle / 4) % 2 == 0 ? 0.2f : 0.9f, 100.0f);
        }
        env.beginCycle();
        benchmark::DoNotOptimize(volume.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}

void BM_VolumeFilterConstantGain(benchmark::State& state) {
    runVolume(state, 0.5f, false);
}
BENCHMARK(BM_VolumeFilterConstantGain);

void BM_VolumeFilterRampingGain(benchmark::State& state) {
    runVolume(state, 0.5f, true);
}
BENCHMARK(BM_VolumeFilterRampingGain);

void BM_VolumeFilterUnityGain(benchmark::State& state) {
    runVolume(state, 1.0f, false);
}
BENCHMARK(BM_VolumeFilterUnityGain);

}  // namespace
