// Mixer with 7 inputs (operation 0, 256-sample cycles), per output sample:
//   constant gains       1.0 ns/sample (0.9-1.1 over runs; seven vectorised passes)
//   ramping gains        3.8 ns/sample (every gain always ramping: the seven gain ramps, about
//                                       0.5 ns/sample each, dominate)
// Medians of 5-7 repetitions on one core of the shared 2-core development machine (load about
// 5, so expect +-20 %), optimised build, baseline x86-64. Re-measure with scripts/bench.sh.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "NsPerSample.h"
#include "engine/Mixer.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::Mixer;
using tessel::wave::BasicBlock;
using tessel::wave::Environment;

constexpr int32_t kFrames = 256;
constexpr int kInputs = 7;

/// A varying input that costs nothing per cycle: its block is filled once.
class FixedBlockSource final : public tessel::wave::Source {
public:
    FixedBlockSource(Environment* environment, float seed) : tessel::wave::Source(environment) {
        float* d = ownBlock()->data();
        for (int32_t i = 0; i < ownBlock()->size(); ++i) {
            d[i] = seed * static_cast<float>((i * 37) % 101 - 50) / 50.0f;
        }
    }
    void process(BasicBlock<float>* block, int32_t, int32_t) noexcept override {
        block->setConstant(false);
    }
};

struct SevenInputs {
    explicit SevenInputs(Environment* env)
        : sources{{env, 0.1f}, {env, 0.2f}, {env, 0.3f}, {env, 0.4f},
                  {env, 0.5f}, {env, 0.6f}, {env, 0.7f}},
          mixer(env) {
        for (int i = 0; i < kInputs; ++i) {
            mixer.addInput(&sources[i]);
            mixer.inputGain(i)->parameter().setValue(0.3f + 0.1f * static_cast<float>(i), 0.0f);
        }
    }
    FixedBlockSource sources[kInputs];
    Mixer mixer;
};

void BM_MixerSevenInputsConstantGains(benchmark::State& state) {
    Environment env(kFrames, true);
    SevenInputs graph(&env);
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        benchmark::DoNotOptimize(graph.mixer.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_MixerSevenInputsConstantGains);

void BM_MixerSevenInputsRampingGains(benchmark::State& state) {
    Environment env(kFrames, true);
    SevenInputs graph(&env);
    int64_t cycle = 0;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        // A new target every 4 cycles with a 100 ms ramp: every gain is always ramping.
        if (cycle++ % 4 == 0) {
            const float target = (cycle / 4) % 2 == 0 ? 0.2f : 0.9f;
            for (int i = 0; i < kInputs; ++i)
                graph.mixer.inputGain(i)->parameter().setValue(target, 100.0f);
        }
        env.beginCycle();
        benchmark::DoNotOptimize(graph.mixer.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}
BENCHMARK(BM_MixerSevenInputsRampingGains);

}  // namespace
