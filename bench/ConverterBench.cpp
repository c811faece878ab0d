// The oversampling converters at 44.1 kHz, the costliest rate (125-tap first stage, 25-tap relaxed
// stages, 90 dB), on host blocks of 256 samples. ns/sample counts host-rate samples: the
// interpolator's input, the decimator's output.
// Baseline (Release, baseline x86-64 SSE2, 2 heavily shared cores, CPU time per host sample):
// interpolator 3.7 ns at 2x and 5.3 at 4x, decimator 3.7 at 2x and 5.7 at 4x, so a stereo pair
// at 4x, up and down, costs about 22 ns per host sample frame (0.1 % of a core at 44.1 kHz).
// Wall-clock ns/sample on a loaded machine reads higher.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "NsPerSample.h"
#include "engine/wave/Environment.h"
#include "sr/ConverterStyle.h"

namespace {

constexpr int32_t kFrames = 256;

// Arguments: factor, direction (0 interpolate, 1 decimate).
void BM_Converter(benchmark::State& state) {
    const auto factor = static_cast<int32_t>(state.range(0));
    const bool decimate = state.range(1) != 0;
    tessel::wave::Environment env(kFrames, true);
    env.setSampleRate(44100.0f);
    tessel::sr::ConverterStyle style(&env, nullptr);
    style.setFactor(factor);
    const std::unique_ptr<tessel::sr::ConverterBase> converter =
        decimate ? style.createDecimator() : style.createInterpolator();
    std::vector<float> high(static_cast<std::size_t>(kFrames * factor));
    std::vector<float> host(kFrames);
    for (std::size_t i = 0; i < high.size(); ++i)
        high[i] = static_cast<float>(std::sin(0.01 * static_cast<double>(i)));
    for (std::size_t i = 0; i < host.size(); ++i)
        host[i] = static_cast<float>(std::sin(0.03 * static_cast<double>(i)));
    tessel::bench::NsPerSample timer(state, kFrames);
    for (auto _ : state) {
        if (decimate)
            converter->process(high.data(), host.data(), kFrames);
        else
            converter->process(host.data(), high.data(), kFrames);
        benchmark::DoNotOptimize(high.data());
        benchmark::DoNotOptimize(host.data());
    }
}

}  // namespace

BENCHMARK(BM_Converter)
    ->ArgNames({"factor", "decimate"})
    ->Args({2, 0})
    ->Args({4, 0})
    ->Args({2, 1})
    ->Args({4, 1});
