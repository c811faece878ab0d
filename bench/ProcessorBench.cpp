// The processor frame's own cost, and the whole multiband processor as a host runs it.
//
// Frame: the parameter queue's push and pop, and a host block through process with an empty
// graph (every channel outputs the zero block), i.e. the per-block overhead of block cutting,
// bypass mixing and input hand-over.
// Baseline (Release, GCC 12, shared 2-core VM): push+apply 59 ns per change; empty-graph
// stereo process 0.54 ns/sample at 256-sample blocks (138 ns per block), 2.2 at 64, 0.25 at 1024.
//
// Whole processor: stereo at 48 kHz in 256-sample host blocks, 4 or 6 adjacent bands covering
// 30 Hz..30 kHz, every band compressing (threshold -30 dB, 4:1, Range -12 dB, the other band
// settings at their defaults) a pink-noise-plus-transients signal at about -12 dBFS RMS, for each
// Processing Mode with Oversampling Off and 2x. Counters: "x realtime" (audio seconds per wall
// second), "ns/sample" (per sample and channel) and "change dB" (output against input level over
// the last warm-up second, which shows that the bands really compress). Every run starts with 2 s
// of audio before timing: Linear Phase kernels are built within the first 0.25 s, and the
// companders settle within a second.
// Baseline (Release, GCC 12, shared 2-core VM at load average 1.3, medians of 3, three runs),
// x realtime with 4 / 6 bands:
//                     Oversampling Off       2x
//   Linear Phase      87-91 / 68-74         46-51 / 36-40
//   Dynamic Phase     67-71 / 46-47         35-37 / 23-25
//   Minimum Phase    113-119 / 73-75        55-57 / 35-37
// (up to a third lower at load average 3). Aims: Minimum Phase 100 x or more, Dynamic and
// Linear Phase 50 x or more; scripts/bench-processor.sh prints these cases against them.
// Profile (perf, 4 bands, Off, self time): Minimum Phase: biquad kernel 23 % (crossover tree 21),
// compander envelopes 20, compander chain 7, mixers 5, level meters 4, block copies 4, dB
// conversion 3.6, gain curve 2.8, library fmaxf from the stereo linker 2.6. Dynamic Phase: the
// shelving stages 27 (pair kernel 8, coefficients and corners 19), biquad kernel 16 (crossover
// tree 11), envelopes 15, compander chain 6.5, dB conversion 3.7, fmaxf 3.5.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "NsPerSample.h"
#include "engine/GenericPluginProcessor.h"
#include "engine/tessel/TesselProcessor.h"

namespace tessel {
namespace {

class EmptyProcessor final : public GenericPluginProcessor {
public:
    EmptyProcessor() : GenericPluginProcessor(1, 0, true) { initialize(); }
    ~EmptyProcessor() override { exitInstance(); }
};

// One queued change pushed and applied per iteration: the time column is ns per change.
void BM_ParameterQueuePushApply(benchmark::State& state) {
    EmptyProcessor p;
    float v = 0.0f;
    for (auto _ : state) {
        p.setParameter(0, v, GenericPluginProcessor::kFromHost);
        p.applyParameterChanges();
        v += 1.0f;
    }
    state.SetItemsProcessed(state.iterations());  // changes per second
}
BENCHMARK(BM_ParameterQueuePushApply);

// A burst of 256 changes queued, then drained: items/s gives the rate of changes.
void BM_ParameterQueueBurst(benchmark::State& state) {
    EmptyProcessor p;
    for (auto _ : state) {
        for (int32_t i = 0; i < 256; ++i)
            p.setParameter(i & 15, static_cast<float>(i), GenericPluginProcessor::kFromHost);
        p.applyParameterChanges();
    }
    state.SetItemsProcessed(state.iterations() * 256);  // changes per second
}
BENCHMARK(BM_ParameterQueueBurst);

// One stereo host block of state.range(0) samples through an empty graph (ns per sample).
void BM_ProcessEmptyGraph(benchmark::State& state) {
    const int32_t frames = static_cast<int32_t>(state.range(0));
    EmptyProcessor p;
    std::vector<float> l(frames, 0.1f), r(frames, -0.1f), ol(frames), orr(frames);
    const float* in[2] = {l.data(), r.data()};
    float* out[2] = {ol.data(), orr.data()};
    bench::NsPerSample timer(state, frames);
    for (auto _ : state) {
        p.process(in, 2, out, 2, frames, nullptr);
        benchmark::DoNotOptimize(ol.data());
    }
}
BENCHMARK(BM_ProcessEmptyGraph)->Arg(64)->Arg(256)->Arg(1024);

// ---- The whole processor ----

constexpr double kSampleRateHz = 48000.0;
constexpr int32_t kChannels = 2;
constexpr int32_t kBlockFrames = 256;
constexpr int32_t kSignalFrames = 1 << 17;    // 2.7 s, a whole number of blocks
constexpr int32_t kWarmUpFrames = 2 * 48000;  // a whole number of blocks
constexpr int32_t kMeasuredFrames = 48000;    // the warm-up's last second: its level change
static_assert(kWarmUpFrames % kBlockFrames == 0 && kMeasuredFrames <= kWarmUpFrames &&
              kWarmUpFrames < kSignalFrames);  // the warm-up does not wrap round the signal

double rms(const float* x, int32_t n) {
    double sum = 0.0;
    for (int32_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / n);
}

// Stereo test signal: pink noise (equal energy per octave, so every band of a layout gets a
// similar share) partly common to both channels, with noise bursts four times a second that rise
// 8 dB over it and decay over 40 ms; scaled to -12 dBFS RMS per channel. Computed once.
const std::vector<std::vector<float>>& testSignal() {
    static const std::vector<std::vector<float>> signal = [] {
        std::minstd_rand random(7);
        std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
        // Pink from white by a sum of one-pole low-passes, one per source.
        struct Pink {
            float b[6] = {};
            float next(float w) {
                b[0] = 0.99886f * b[0] + w * 0.0555179f;
                b[1] = 0.99332f * b[1] + w * 0.0750759f;
                b[2] = 0.96900f * b[2] + w * 0.1538520f;
                b[3] = 0.86650f * b[3] + w * 0.3104856f;
                b[4] = 0.55000f * b[4] + w * 0.5329522f;
                b[5] = -0.7616f * b[5] - w * 0.0168980f;
                return b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + w * 0.5362f;
            }
        };
        Pink common, own[kChannels];
        std::vector<std::vector<float>> s(kChannels, std::vector<float>(kSignalFrames));
        const int32_t burstPeriod = static_cast<int32_t>(kSampleRateHz / 4.0);
        const float burstGain = std::pow(10.0f, 8.0f / 20.0f) - 1.0f;
        for (int32_t n = 0; n < kSignalFrames; ++n) {
            const float envelope =
                1.0f + burstGain * std::exp(-static_cast<float>(n % burstPeriod) /
                                            static_cast<float>(0.040 * kSampleRateHz));
            const float shared = common.next(uniform(random));
            for (int32_t c = 0; c < kChannels; ++c)
                s[c][n] = envelope * (0.8f * shared + 0.6f * own[c].next(uniform(random)));
        }
        const float targetRms = std::pow(10.0f, -12.0f / 20.0f);
        for (auto& channel : s) {
            const float scale = targetRms / static_cast<float>(rms(channel.data(), kSignalFrames));
            for (float& x : channel)
                x *= scale;
        }
        return s;
    }();
    return signal;
}

// One processor set up for a case and driven in host blocks round the test signal.
class ProcessorRun {
public:
    ProcessorRun(int32_t mode, int32_t oversampling, int32_t bands)
        : processor_(std::make_unique<TesselProcessor>(1, false)),
          output_(kChannels, std::vector<float>(kSignalFrames)) {
        static const float kFourEdgesHz[] = {30.0f, 150.0f, 1000.0f, 5000.0f, 30000.0f};
        static const float kSixEdgesHz[] = {30.0f,   120.0f,   500.0f,  2000.0f,
                                            6000.0f, 12000.0f, 30000.0f};
        const float* edgesHz = bands == 4 ? kFourEdgesHz : kSixEdgesHz;
        TesselProcessor& p = *processor_;
        p.environment()->setSampleRate(kSampleRateHz);
        set(p.processingMode, static_cast<float>(mode));
        set(p.oversampling, static_cast<float>(oversampling));
        for (int32_t b = 0; b < bands; ++b) {
            const BandParameterSet& band = p.band(b);
            set(band.state, static_cast<float>(BandState::kEnabled));
            set(band.lowCrossover, std::log2(edgesHz[b]));
            set(band.highCrossover, std::log2(edgesHz[b + 1]));
            setText(band.threshold, "-30 dB");
            setText(band.ratio, "4:1");
            setText(band.range, "-12 dB");
        }
        // Warm up, then measure what the bands do over the last second of it.
        for (int32_t frames = 0; frames < kWarmUpFrames; frames += kBlockFrames)
            block();
        const int32_t start = kWarmUpFrames - kMeasuredFrames;
        double inSum = 0.0, outSum = 0.0;
        for (int32_t c = 0; c < kChannels; ++c) {
            inSum += rms(testSignal()[c].data() + start, kMeasuredFrames);
            outSum += rms(output_[c].data() + start, kMeasuredFrames);
        }
        changeDb_ = 20.0 * std::log10(outSum / inSum);
    }

    const std::string& error() const noexcept { return error_; }
    /// Output level against input level over the last warm-up second (dB).
    double changeDb() const noexcept { return changeDb_; }

    /// One host block, the next of the looped test signal. [audio thread]
    void block() noexcept {
        const float* in[kChannels];
        float* out[kChannels];
        for (int32_t c = 0; c < kChannels; ++c) {
            in[c] = testSignal()[c].data() + position_;
            out[c] = output_[c].data() + position_;
        }
        processor_->process(in, kChannels, out, kChannels, kBlockFrames, nullptr);
        position_ += kBlockFrames;
        if (position_ == kSignalFrames) position_ = 0;
    }
    const float* lastOutput() const noexcept { return output_[0].data(); }

private:
    void set(const AbstractPluginParameter& parameter, float value) {
        processor_->setParameter(parameter.identifier(), value, GenericPluginProcessor::kFromHost);
    }
    void setText(const AbstractPluginParameter& parameter, const std::string& text) {
        float value = 0.0f;
        std::string reason;
        if (parameter.valueFromText(text, value, reason))
            set(parameter, value);
        else
            error_ = parameter.name() + ": \"" + text + "\" does not parse (" + reason + ")";
    }

    std::unique_ptr<TesselProcessor> processor_;
    std::vector<std::vector<float>> output_;
    int32_t position_ = 0;
    double changeDb_ = 0.0;
    std::string error_;
};

// One stereo host block per iteration. Arguments: Processing Mode (0 Linear Phase, 1 Dynamic
// Phase, 2 Minimum Phase), Oversampling (0 Off, 1 2x), bands in use (4 or 6). Every run builds
// and warms up its own processor, outside the timed loop.
void BM_Processor(benchmark::State& state) {
    const auto mode = static_cast<int32_t>(state.range(0));
    const auto oversampling = static_cast<int32_t>(state.range(1));
    const auto bands = static_cast<int32_t>(state.range(2));
    const auto run = std::make_unique<ProcessorRun>(mode, oversampling, bands);
    if (!run->error().empty()) {
        state.SkipWithError(run->error().c_str());
        return;
    }
    // Each band's share of the noise lies about 12 dB over the threshold: at 4:1 a working
    // processor takes several dB off, and never much more than Range (12 dB).
    if (!(run->changeDb() < -3.0 && run->changeDb() > -14.0)) {
        state.SkipWithError("the bands do not compress the test signal as set");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    {
        bench::NsPerSample timer(state, int64_t{kBlockFrames} * kChannels);
        for (auto _ : state) {
            run->block();
            benchmark::DoNotOptimize(run->lastOutput());
        }
    }
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double audioSeconds =
        static_cast<double>(state.iterations()) * kBlockFrames / kSampleRateHz;
    if (wallSeconds > 0.0) state.counters["x realtime"] = audioSeconds / wallSeconds;
    state.counters["change dB"] = run->changeDb();
}
BENCHMARK(BM_Processor)
    ->ArgNames({"mode", "oversampling", "bands"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}, {4, 6}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessel
