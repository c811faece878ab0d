// Level detection and envelopes, per processed sample, 256-sample blocks at 48 kHz (optimised
// build, baseline x86-64). Medians of 7 repetitions on a quiet 2-core machine, before -> after the
// envelope rework (no library exponential per sample: Pade coefficients, a release-step table
// for steady drop-dependent releases; the peak hold by doubling windows for short holds):
//   Capacitor, moving times (vectorised coefficients)    7.6 -> 3.5 ns/sample
//   Capacitor, constant times (cached coefficients)      3.1 -> 2.8 ns/sample (serial recursion)
//   Capacitor, release shape + dependency               26.9 -> 9.9 ns/sample (the table above
//                                                        -10 dB, one division per sample below)
//   Capacitor, the same with a moving release time      25.3 -> 14.1 ns/sample (the exact rule per
//                                                        sample: exponential table and a division)
//   Capacitor, dependency only (the compander's fast    13.3 -> 4.9 ns/sample (the table)
//     envelope from 20 % attack up)
//   PeakHold 10 ms, constant / moving hold               3.2 / 4.9 -> 2.1 / 4.3 ns/sample (queue)
//   PeakHold 2.7 ms                                      3.0 -> 1.6 ns/sample (doubling windows)
//   Detector, knee + range knee                          1.7 ns/sample
//   test signal alone                                    0.3 ns/sample
// Then the envelope's step as attack share plus release step behind a predicted branch, steady
// coefficients in registers, the release table read in nodes (medians of 9 runs, load 1):
//   Capacitor, moving / constant times                   3.7 / 3.0 -> 3.6 / 3.1 ns/sample
//   Capacitor, release shape + dependency                9.9 -> 9.8 ns/sample
//   Capacitor, the same with a moving release time      13.9 -> 14.2 ns/sample
//   Capacitor, dependency only                           5.0 -> 4.3 ns/sample
//   Detector, knee + range knee (the shape worked out    1.75 -> 1.4 ns/sample
//     once per block, the knee left out when there is none)
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

// The same with the release time moving (as the band compander's fast envelope in the "below"
// direction, whose release time follows the slow envelope): the exact rule sample by sample.
void BM_CapacitorScalarMoving(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    Capacitor cap(&env);
    cap.setInput(&input);
    cap.releaseShape().setValue(0.4f, 0);
    cap.releaseDependency().setValue(0.2f, 0);
    run(state, env, cap, [&](int k) {
        if (k % 8 == 0) cap.releaseTime().parameter().setValue(k % 16 ? 0.05f : 0.2f, 20.0f);
    });
}
BENCHMARK(BM_CapacitorScalarMoving);

// The fast envelope as the band compander runs it from 20 % attack up: plain shape, 10 % extra
// release time for small drops.
void BM_CapacitorDependency(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    Capacitor cap(&env);
    cap.setInput(&input);
    cap.releaseTime().parameter().setValue(0.1f, 0);
    cap.releaseDependency().setValue(0.01f, 0);
    run(state, env, cap, [](int) {});
}
BENCHMARK(BM_CapacitorDependency);

void BM_PeakHold(benchmark::State& state) {
    wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    bench::TableSource input(&env, levelInput());
    PeakHold hold(&env);
    hold.setInput(&input);
    // Arg 0: 10 ms; 1: moving between 10 and 20 ms; 2: 2.7 ms (the band compander's default).
    const bool moving = state.range(0) == 1;
    hold.holdTimeMs().setValue(state.range(0) == 2 ? 2.7f : 10.0f, 0);
    run(state, env, hold, [&](int k) {
        if (moving && k % 8 == 0) hold.holdTimeMs().setValue(k % 16 ? 10.0f : 20.0f, 20.0f);
    });
}
BENCHMARK(BM_PeakHold)->Arg(0)->Arg(1)->Arg(2);

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
