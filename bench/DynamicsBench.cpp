// Level detection and envelopes, per processed sample, 256-sample blocks at 48 kHz (optimised
// build, baseline x86-64). First run, CPU time on a loaded 2-core machine (wall figures were
// about 1.5-2x higher under that load):
//   Capacitor, moving times (vectorised coefficients)   10 ns/sample
//   Capacitor, constant times (cached coefficients)       4 ns/sample (serial double recursion)
//   Capacitor, release shape + dependency (scalar rule)  34 ns/sample (the release time moves
//                                                        with the drop: one exp per sample)
//   PeakHold 10 ms, constant / moving hold               3.9 / 6.9 ns/sample
//   Detector, knee + range knee                          3.0 ns/sample
//   test signal alone                                    0.6 ns/sample
// Re-measure with scripts/bench.sh after changes to src/dynamics.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "dynamics/Capacitor.h"
#include "dynamics/Detector.h"
#include "dynamics/PeakHold.h"
#include "engine/wave/Environment.h"

namespace {

using namespace tessel;

constexpr int32_t kFrames = 256;

// A level in dB that rises and falls by tens of dB, so envelopes alternate attack and release.
// Precomputed, so that the figures measure the node and not the test signal.
std::vector<float> levelInput() {
    constexpr int32_t kLength = 1 << 14;
    std::vector<float> table(kLength);
    for (int32_t n = 0; n < kLength; ++n)
        table[static_cast<std::size_t>(n)] =
            static_cast<float>(-30.0 + 25.0 * std::sin(0.0031 * n) + 3.0 * std::sin(0.37 * n));
    return table;
}

template <typename Node>
void run(benchmark::State& state, wave::Environment& env, Node& node, auto&& eachBlock) {
    tessel::bench::NsPerSample timer(state, kFrames);
    int k = 0;
    for (auto _ : state) {
        eachBlock(k++);
        env.beginCycle();
        benchmark::DoNotOptimize(node.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}

void BM_CapacitorVectorised(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    Capacitor cap(&env);
    cap.setInput(&input);
    // Moving times: the per-sample coefficient loop with the fast exponential.
    run(state, env, cap, [&](int k) {
        if (k % 8 == 0) {
            cap.attackTime().setValue(k % 16 ? 0.002f : 0.004f, 20.0f);
            cap.releaseTime().parameter().setValue(k % 16 ? 0.05f : 0.2f, 20.0f);
        }
    });
}
BENCHMARK(BM_CapacitorVectorised);

void BM_CapacitorConstantTimes(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    Capacitor cap(&env);
    cap.setInput(&input);
    run(state, env, cap, [](int) {});
}
BENCHMARK(BM_CapacitorConstantTimes);

void BM_CapacitorScalar(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    Capacitor cap(&env);
    cap.setInput(&input);
    cap.releaseShape().setValue(0.4f, 0);
    cap.releaseDependency().setValue(0.2f, 0);
    run(state, env, cap, [](int) {});
}
BENCHMARK(BM_CapacitorScalar);

void BM_PeakHold(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    PeakHold hold(&env);
    hold.setInput(&input);
    const bool moving = state.range(0) != 0;
    hold.holdTimeMs().setValue(10.0f, 0);
    run(state, env, hold, [&](int k) {
        if (moving && k % 8 == 0) hold.holdTimeMs().setValue(k % 16 ? 10.0f : 20.0f, 20.0f);
    });
}
BENCHMARK(BM_PeakHold)->Arg(0)->Arg(1);

void BM_Detector(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    Detector detector(&env);
    detector.setInput(&input);
    detector.thresholdDb().setValue(-30.0f, 0);
    detector.ratio().setValue(4.0f, 0);
    detector.kneeDb().setValue(6.0f, 0);
    detector.rangeDb().setValue(24.0f, 0);
    detector.rangeKneeDb().setValue(6.0f, 0);
    run(state, env, detector, [](int) {});
}
BENCHMARK(BM_Detector);

// The test signal alone: subtract from the figures above.
void BM_InputOnly(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    bench::TableSource input(&env, levelInput());
    run(state, env, input, [](int) {});
}
BENCHMARK(BM_InputOnly);

}  // namespace
