// Linear-phase convolution: one band's convolver, kernel rebuilds, the evenness of the work per
// block while kernels rebuild, the four-band stereo case, and the relative cost of each kind of
// granular unit (which sets the weights in GranularTask.h).
// Baseline (Release, baseline x86-64, median of 3 on 2 shared cores at a load of 5 to 8, so
// wall time ran about twice the CPU time; the CPU-time figures):
//   one band, one channel, 256-sample blocks: 6.7 ns/sample at 44.1 kHz (6.9 in 64-sample
//   blocks), 9.2 at 96 kHz, 14.9 at 192 kHz;
//   a kernel rebuild after the layout moved: 43 us at 44.1 kHz, 86 at 96, 175 at 192 (126, 244
//   and 497 while each bin took a pow per crossover up the tree), spread over 1536, 2560 and
//   4608 samples; the band response costs 13 ns per bin, fresh or not (53 fresh, 11 from the
//   caches with the pow);
//   four bands in stereo at 48 kHz: 55 ns/sample, 376 x realtime steady; 64 us per 256-sample
//   block, 78 x realtime (wall), with all four bands moving every block (kernels rebuilding back
//   to back; 119 us and 43 x with the pow);
//   work per 64-sample block while rebuilding: runner cost 0.66 to 1.13 of the median, time p90
//   1.17 and p99 1.46 of the median at 44.1 kHz (1.11 and 1.39 at 96) with the bin weight at 80
//   after BM_UnitCost (p99 2.5 to 3 when the machine was busier: preemption).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "NsPerSample.h"
#include "TableSource.h"
#include "bands/Convolver.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "bands/FrequencyResponseKernel.h"
#include "bands/GranularTask.h"
#include "engine/wave/Environment.h"

namespace {

using namespace tessel;
using Config = Convolver::Configuration;

std::vector<float> noise(std::size_t n, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::normal_distribution<float> gauss(0.0f, 0.3f);
    std::vector<float> v(n);
    for (float& x : v)
        x = gauss(random);
    return v;
}

/// A layout of `bands` user bands spread over the spectrum with gaps between them, its kernels
/// (one per user band) and `channels` convolvers per kernel, fed with noise.
struct Processor {
    Processor(float rateHz, int32_t bands, int32_t channels, int32_t block = 256)
        : env(block, true), config(Config::forSampleRate(rateHz)), layout(&model) {
        env.setSampleRate(rateHz);
        model.sampleRate() = rateHz;
        FrequencyResponseKernel::configureGrid(model.mapping(), *config);
        place(0.0f, bands);
        for (int32_t b = 0; b < bands; ++b) {
            const auto& modelBand = model.band(layout.band(b).modelBandIndex());
            kernels.push_back(std::make_unique<FrequencyResponseKernel>(&env, config, &modelBand));
            for (int32_t c = 0; c < channels; ++c) {
                inputs.push_back(std::make_unique<bench::TableSource>(&env, noise(8192, c)));
                convolvers.push_back(std::make_unique<Convolver>(&env, kernels.back().get()));
                convolvers.back()->setInput(inputs.back().get());
            }
        }
        while (kernels.front()->buildCount() == 0 ||
               env.samplePosition() < kernels.front()->activationTime() + 8192)
            cycle(block);
    }
    /// Moves every band by `shift` octaves (their responses change, caches empty).
    void place(float shift, int32_t bands) {
        UpdatedObject::ScopedHold hold(layout);
        for (int32_t b = 0; b < bands; ++b) {
            layout.band(b).used() = true;
            const float low = 6.0f + 2.0f * static_cast<float>(b) + shift;
            layout.band(b).setRange(low, low + 1.2f);
        }
    }
    void cycle(int32_t frames) {
        env.beginCycle();
        for (auto& c : convolvers)
            benchmark::DoNotOptimize(c->pull(frames)->data());
        env.advance(frames, 0);
    }
    int64_t cost() const {
        int64_t total = 0;
        for (const auto& k : kernels)
            total += k->lifetimeCost();
        for (const auto& c : convolvers)
            total += c->lifetimeCost();
        return total;
    }

    wave::Environment env;
    std::shared_ptr<const Config> config;
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout;
    std::vector<std::unique_ptr<FrequencyResponseKernel>> kernels;
    std::vector<std::unique_ptr<bench::TableSource>> inputs;
    std::vector<std::unique_ptr<Convolver>> convolvers;
};

// One band's convolution on one channel with a steady kernel. Arguments: rate in Hz, block.
void BM_ConvolverBand(benchmark::State& state) {
    Processor p(static_cast<float>(state.range(0)), 1, 1, static_cast<int32_t>(state.range(1)));
    bench::NsPerSample timer(state, state.range(1));
    for (auto _ : state)
        p.cycle(static_cast<int32_t>(state.range(1)));
}
BENCHMARK(BM_ConvolverBand)
    ->Args({44100, 256})
    ->Args({44100, 64})
    ->Args({96000, 256})
    ->Args({192000, 256});

// One full kernel rebuild from a band response whose crossovers just moved (every response value
// is computed afresh): ns/sample spreads it over the build's scheduling time; "us/rebuild" is the
// total. Argument: rate in Hz.
void BM_KernelRebuild(benchmark::State& state) {
    Processor p(static_cast<float>(state.range(0)), 6, 1);
    FrequencyResponseKernel& kernel = *p.kernels[2];
    const int32_t period = p.config->schedulingSamples();
    float shift = 0.0f;
    double ns = 0.0;
    for (auto _ : state) {
        shift = shift > 0.0f ? 0.0f : 0.01f;
        p.place(shift, 6);
        kernel.markForUpdate();
        p.env.beginCycle();
        const auto start = std::chrono::steady_clock::now();
        kernel.advance(period);  // the whole period in one call: the build runs to the end
        ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                  .count();
        p.env.advance(period, 0);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["us/rebuild"] = ns * 1e-3 / n;
    state.counters["ns/sample"] = ns / (n * period);
}
BENCHMARK(BM_KernelRebuild)->Arg(44100)->Arg(96000)->Arg(192000);

// A stereo band whose layout moves every block, so kernels rebuild back to back: the spread of
// the time per 64-sample block ("p90/p50", "p99/p50") and of the runner cost per block ("cost
// max/p50", "cost min/p50"). Argument: rate in Hz.
void BM_BlockTimesWhileRebuilding(benchmark::State& state) {
    constexpr int32_t kBlock = 64;
    Processor p(static_cast<float>(state.range(0)), 1, 2, kBlock);
    std::vector<double> times, costs;
    times.reserve(static_cast<std::size_t>(state.max_iterations));
    costs.reserve(static_cast<std::size_t>(state.max_iterations));
    int64_t position = 0;
    for (auto _ : state) {
        p.place(0.3f * std::sin(static_cast<float>(++position) * 0.01f), 1);
        p.kernels[0]->markForUpdate();
        const int64_t before = p.cost();
        const auto start = std::chrono::steady_clock::now();
        p.cycle(kBlock);
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::nano>(end - start).count());
        costs.push_back(static_cast<double>(p.cost() - before));
    }
    // Relative to the median: the mean of a busy machine's block times is dominated by the rare
    // blocks during which the thread was preempted.
    const auto spread = [](std::vector<double> v, double quantile) {
        std::sort(v.begin(), v.end());
        const auto at = [&](double q) { return v[static_cast<std::size_t>(q * (v.size() - 1))]; };
        return at(quantile) / at(0.5);
    };
    std::vector<double> sorted = times;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    state.counters["ns/sample"] = sorted[sorted.size() / 2] / kBlock;  // the median block's
    state.counters["p90/p50"] = spread(times, 0.9);
    state.counters["p99/p50"] = spread(times, 0.99);
    state.counters["cost max/p50"] = spread(costs, 1.0);
    state.counters["cost min/p50"] = spread(costs, 0.0);
    state.counters["builds"] = p.kernels[0]->buildCount();
}
BENCHMARK(BM_BlockTimesWhileRebuilding)->Arg(44100)->Arg(96000)->Iterations(100000);

// Linear Phase with four bands in stereo at 48 kHz: eight convolvers on four kernels, steady or
// with every kernel rebuilding back to back. "x realtime" is the convolution's share only.
// Argument: 1 to keep the bands moving.
void BM_LinearPhase4BandsStereo48k(benchmark::State& state) {
    constexpr int32_t kBlock = 256;
    Processor p(48000.0f, 4, 2, kBlock);
    const bool moving = state.range(0) != 0;
    int64_t position = 0;
    const auto start = std::chrono::steady_clock::now();
    bench::NsPerSample timer(state, kBlock);
    for (auto _ : state) {
        if (moving) {
            p.place(0.3f * std::sin(static_cast<float>(++position) * 0.01f), 4);
            for (auto& k : p.kernels)
                k->markForUpdate();
        }
        p.cycle(kBlock);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["x realtime"] =
        static_cast<double>(state.iterations()) * kBlock / 48000.0 / seconds;
}
BENCHMARK(BM_LinearPhase4BandsStereo48k)->Arg(0)->Arg(1);

// Time per unit of each task kind, and per unit of cost ("ns/cost"): the weights are right when
// ns/cost is about the same for all. Kinds: 0 store input, 1-3 forward stage of 1024, 4096 and
// 16384 points, 4 multiply-accumulate, 5 response bin (fresh), 6 response bin (unmoved: in
// linear-phase mode a run of bins computes afresh, which costs no more than reading the caches).
void BM_UnitCost(benchmark::State& state) {
    const auto kind = static_cast<int32_t>(state.range(0));
    const int32_t size = kind == 2 ? 4096 : kind == 3 ? 16384 : 1024;
    const FFT fft(size);
    std::vector<float> a = noise(static_cast<std::size_t>(size)), b = a, c = a;
    FFTStoreInputTask store;
    FFTCalculateTask forward;
    FFTMultiplyTask multiply;
    store.set(a.data(), b.data(), c.data(), size / 2);
    forward.set(&fft, c.data());
    multiply.set(a.data(), b.data(), c.data(), size, false);
    Processor p(44100.0f, 6, 1);
    const auto& band = p.model.band(p.layout.band(2).modelBandIndex());
    std::vector<FrequencyResponseSource::Complex> r(2049);
    GranularTask* task = kind == 0   ? static_cast<GranularTask*>(&store)
                         : kind == 4 ? static_cast<GranularTask*>(&multiply)
                                     : &forward;
    task->prepare();
    const int64_t units = kind >= 5 ? 2049 : task->units();
    const int64_t cost = kind >= 5 ? GranularTask::kResponseBinCost : task->costPerUnit();
    float shift = 0.0f;
    double ns = 0.0;
    for (auto _ : state) {
        if (kind == 5) {
            shift = shift > 0.0f ? 0.0f : 0.01f;
            p.place(shift, 6);
        }
        const auto start = std::chrono::steady_clock::now();
        if (kind >= 5)
            band.responses(0, 2049, r.data());
        else
            task->run(0, task->units());
        benchmark::DoNotOptimize(c.data());
        benchmark::DoNotOptimize(r.data());
        ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                  .count();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["cost/unit"] = static_cast<double>(cost);
    state.counters["ns/unit"] = ns / (n * static_cast<double>(units));
    state.counters["ns/cost"] = ns / (n * static_cast<double>(units * cost));
}
BENCHMARK(BM_UnitCost)->DenseRange(0, 6);

}  // namespace
