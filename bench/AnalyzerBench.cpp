// The analyser's two sides (the counter prints with a unit suffix "s"; read it as ns/sample):
//   audio thread, stereo, pre and post enabled: copy into the pool and queue full blocks
//     0.5 ns/sample (128 ns per 256-sample block)
//   reader side, one 8192-point analysis per hop of 2048 samples, stereo: window, transform,
//     magnitudes and maximum for both channels, 46 us per hop (22 ns per analysed sample)
// Measured on one core of the shared 2-core development machine (helpers building beside it),
// optimised build, baseline x86-64. Re-measure with scripts/bench.sh --benchmark_filter=Analyzer.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "analysis/AudioSourceProxy.h"
#include "analysis/DisplayData.h"
#include "analysis/RealTimeAudioBuffer.h"
#include "analysis/RealTimeFrequencyAnalyzer.h"
#include "engine/wave/Environment.h"

namespace {

using tessel::RealTimeAudioBuffer;
using tessel::wave::BasicBlock;
using tessel::wave::Environment;

constexpr int32_t kFrames = 256;

/// ns per sample from the benchmark's own timing, which leaves out the paused reader work.
void reportNsPerSample(benchmark::State& state, int64_t samplesPerIteration) {
    state.counters["ns/sample"] = benchmark::Counter(
        static_cast<double>(samplesPerIteration) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

class NoiseSource final : public tessel::wave::Source {
public:
    explicit NoiseSource(Environment* environment) : tessel::wave::Source(environment) {
        float* d = ownBlock()->data();
        for (int32_t i = 0; i < ownBlock()->size(); ++i)
            d[i] = static_cast<float>((i * 37) % 101 - 50) / 50.0f;
    }
    void process(BasicBlock<float>*, int32_t, int32_t) noexcept override {}
};

struct Graph {
    Graph() : env(kFrames, true), source(&env), buffer(&env) {
        env.setSampleRate(44100.0f);
        env.setDisplayActive(true);
        buffer.configure(2, 44100.0f);
        for (int32_t m = 0; m < RealTimeAudioBuffer::kMeasurementCount; ++m) {
            buffer.measurement(m).setInput(0, &source);
            buffer.measurement(m).setInput(1, &source);
        }
        buffer.measurement(RealTimeAudioBuffer::kSideChain).enabled() = false;
    }
    void cycle() {
        env.beginCycle();
        buffer.node()->pull(kFrames);
        env.advance(kFrames, 0);
    }
    Environment env;
    NoiseSource source;
    RealTimeAudioBuffer buffer;
};

void AnalyzerAudioSideHandOver(benchmark::State& state) {
    Graph g;
    int32_t cycles = 0;
    reportNsPerSample(state, kFrames);
    for (auto _ : state) {
        g.cycle();
        if (++cycles % 32 == 0) {  // the reader's share, done on the same thread here
            state.PauseTiming();
            g.buffer.lock();
            g.buffer.unlock();
            state.ResumeTiming();
        }
    }
}
BENCHMARK(AnalyzerAudioSideHandOver);

void AnalyzerReaderSideAnalysis(benchmark::State& state) {
    Graph g;
    tessel::AudioSourceProxy proxy(2, kFrames, 64);
    tessel::RealTimeFrequencyAnalyzer analyser;
    analyser.setSource(RealTimeAudioBuffer::kPost, &proxy);
    analyser.setTransformSize(8192);
    std::vector<uint8_t> stream;
    const std::array<tessel::AudioSourceProxy*, 3> proxies{nullptr, &proxy, nullptr};
    reportNsPerSample(state, 8 * kFrames);  // one hop of 2048 samples
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 8; ++i)
            g.cycle();
        tessel::DisplayDataWriter::write(g.buffer, {}, stream);
        tessel::DisplayDataReader::read(stream, proxies, {});
        state.ResumeTiming();
        auto& post = analyser.measurement(RealTimeAudioBuffer::kPost);
        post.lock();
        benchmark::DoNotOptimize(post.spectrum());
        post.unlock();
    }
}
BENCHMARK(AnalyzerReaderSideAnalysis);

}  // namespace
