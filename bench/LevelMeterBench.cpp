// LevelMeter, audio side (reduce a 256-sample block to its extreme and hand it over), per sample:
//   level (maximum of magnitudes)         0.37-0.51 ns/sample (94-130 ns per block)
//   gain reduction (minimum of dB)        0.37-0.49 ns/sample
//   constant input (no reduction)         0.07-0.11 ns/sample (the hand-over and the graph cycle)
//   level, the editor reading every cycle 0.59-0.75 ns/sample (both sides on one thread: a read
//                                         with take-over, dB conversion and ballistics ~55 ns)
// Ranges of medians of 7 repetitions over several runs on one core of the shared 2-core
// development machine (load 3 to 5), optimised build, baseline x86-64. Re-measure with
// scripts/bench.sh --benchmark_filter=LevelMeter.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "NsPerSample.h"
#include "analysis/LevelMeter.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::LevelMeter;
using tessel::wave::BasicBlock;
using tessel::wave::Environment;

constexpr int32_t kFrames = 256;

/// A fixed block (varying, or flagged constant) that costs nothing per cycle: filled once.
class FixedBlockSource final : public tessel::wave::Source {
public:
    FixedBlockSource(Environment* environment, bool constant)
        : tessel::wave::Source(environment), constant_(constant) {
        float* d = ownBlock()->data();
        for (int32_t i = 0; i < ownBlock()->size(); ++i) {
            d[i] = static_cast<float>((i * 37) % 101 - 50) / 50.0f;
        }
    }
    void process(BasicBlock<float>* block, int32_t, int32_t) noexcept override {
        block->setConstant(constant_);
    }

private:
    bool constant_;
};

void runMeter(benchmark::State& state, bool gainReduction, bool read, bool constant = false) {
    Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    FixedBlockSource input(&env, constant);
    LevelMeter meter(&env);
    meter.setInput(&input);
    if (gainReduction) {
        meter.detectionProperty() = LevelMeter::Detection::kGainReduction;
        meter.inputDomain() = LevelMeter::LevelDomain::kDecibels;
    }
    float sink = 0.0f;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        env.beginCycle();
        env.advance(kFrames, 0);  // the meter runs from the root list
        if (read) sink += meter.level(0);
    }
    benchmark::DoNotOptimize(sink);
}

void BM_LevelMeterLevel(benchmark::State& state) {
    runMeter(state, false, false);
}
BENCHMARK(BM_LevelMeterLevel);

void BM_LevelMeterGainReduction(benchmark::State& state) {
    runMeter(state, true, false);
}
BENCHMARK(BM_LevelMeterGainReduction);

void BM_LevelMeterConstantInput(benchmark::State& state) {
    runMeter(state, false, false, true);
}
BENCHMARK(BM_LevelMeterConstantInput);

void BM_LevelMeterWithReads(benchmark::State& state) {
    runMeter(state, false, true);
}
BENCHMARK(BM_LevelMeterWithReads);

}  // namespace
