// The biquad engine's kernels: a 4-section cascade, on one channel and as a linked stereo pair,
// with constant coefficients and with a new run every 4 samples (a fast parameter sweep).
// ns/sample counts one channel's samples, so a pair reports per channel.
// Baseline (Release, 2 heavily shared cores, CPU time per sample): mono 5 ns (1.3 ns per
// section), mono with a run every 4 samples 8-10 ns, pair 3 ns per channel, pair with a run every
// 4 samples 4-5 ns per channel; the state-variable kernel, mono, 5 ns, like the direct form (its
// per-run two-step state matrices keep the recurrence one multiply-add deep per two samples),
// but 19-22 ns with a run every 4 samples, where computing those matrices and the last sample's
// nodes for each run dominates. Wall-clock ns/sample on a loaded machine reads higher.
// EQFilter bell under a continuous frequency sweep: about 80 ns/sample, dominated by the
// redesign every 32 samples (prototype, magnitude-matched least-squares fit and the check of the
// matched cascade against the analog response, about 3 us each).

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "bands/BiquadProcessor.h"
#include "bands/EQFilter.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::BiquadCoefficients;
using tessel::BiquadProcessor;

constexpr int32_t kFrames = 256;
constexpr int32_t kSections = 4;

BiquadCoefficients lowPass(double frequencyHz) {
    const double w = 2.0 * 3.14159265358979323846 * frequencyHz / 48000.0;
    const double alpha = std::sin(w) / (2.0 * 0.70710678);
    const double a0 = 1.0 + alpha;
    const double c = std::cos(w);
    return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0,
            (1.0 - alpha) / a0};
}

std::vector<float> testSignal() {
    std::vector<float> v(kFrames);
    for (int32_t i = 0; i < kFrames; ++i)
        v[i] = static_cast<float>(std::sin(0.05 * i) + 0.25 * std::sin(1.3 * i));
    return v;
}

// Designs stay out of the timed loop: a table of 64 distinct cascades, pushed in turn.
struct Schedule {
    std::vector<BiquadCoefficients> table;
    explicit Schedule(bool stateVariable = false) : table(64 * kSections) {
        for (int32_t i = 0; i < 64; ++i)
            for (int32_t k = 0; k < kSections; ++k) {
                const BiquadCoefficients c = lowPass(1000.0 + 10.0 * i + k);
                table[i * kSections + k] =
                    stateVariable ? BiquadProcessor::stateVariableFromDirectForm(c) : c;
            }
    }
    // runStep 0 pushes one run per block; otherwise a distinct set every runStep samples.
    void push(BiquadProcessor& processor, int32_t runStep, int64_t& next) const {
        if (runStep == 0) {
            processor.pushCoefficients(kFrames, table.data());
            return;
        }
        for (int32_t i = 0; i < kFrames; i += runStep, ++next)
            processor.pushCoefficients(runStep, &table[(next & 63) * kSections]);
    }
};

// Arguments: samples per coefficient run (0: one run per block), kernel (0 direct form,
// 1 state-variable).
void BM_BiquadCascadeMono(benchmark::State& state) {
    const int32_t runStep = static_cast<int32_t>(state.range(0));
    const bool stateVariable = state.range(1) != 0;
    BiquadProcessor processor(kSections, kFrames, 48000.0f);
    if (stateVariable) processor.setKernel(BiquadProcessor::Kernel::kStateVariable);
    const std::vector<float> input = testSignal();
    std::vector<float> output(kFrames);
    const Schedule schedule(stateVariable);
    int64_t next = 0;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        schedule.push(processor, runStep, next);
        processor.run(input.data(), output.data(), kFrames);
        benchmark::DoNotOptimize(output.data());
    }
}

void BM_BiquadCascadeStereoPair(benchmark::State& state) {
    const int32_t runStep = static_cast<int32_t>(state.range(0));
    BiquadProcessor left(kSections, kFrames, 48000.0f), right(kSections, kFrames, 48000.0f);
    left.link(&right, BiquadProcessor::LinkKind::kStereoPair);
    const std::vector<float> input = testSignal();
    std::vector<float> out0(kFrames), out1(kFrames);
    const Schedule schedule;
    int64_t next = 0;
    tessel::bench::NsPerSample timer(state, 2 * kFrames);  // per channel sample
    for (auto _ : state) {
        schedule.push(left, runStep, next);
        left.runPair(input.data(), out0.data(), input.data(), out1.data(), kFrames);
        benchmark::DoNotOptimize(out0.data());
        benchmark::DoNotOptimize(out1.data());
    }
}

// An EQFilter bell (the default shape) whose frequency sweeps up and down over four octaves
// every 100 ms: the designs and coefficient runs of a moving band filter, per sample.
void BM_EQFilterFrequencySweep(benchmark::State& state) {
    tessel::wave::Environment env(kFrames, true);
    env.setSampleRate(48000.0f);
    tessel::bench::TableSource source(&env, testSignal());
    tessel::EQFilter eq(&env);
    eq.setInput(&source);
    eq.gainDb().assign(9.0f);
    int64_t cycle = 0;
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        if (cycle % 19 == 0)
            eq.frequencyOctaves().parameter().setValue((cycle / 19) % 2 ? 14.0f : 8.0f, 100.0f);
        ++cycle;
        env.beginCycle();
        benchmark::DoNotOptimize(eq.pull(kFrames)->data());
        env.advance(kFrames, 0);
    }
}

}  // namespace

BENCHMARK(BM_EQFilterFrequencySweep);
BENCHMARK(BM_BiquadCascadeMono)->Args({0, 0})->Args({4, 0})->Args({0, 1})->Args({4, 1});
BENCHMARK(BM_BiquadCascadeStereoPair)->Arg(0)->Arg(4);
