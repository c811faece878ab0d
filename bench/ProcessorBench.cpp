// The processor frame's own cost: the parameter queue's push and pop, and a host block through
// process with an empty graph (every channel outputs the zero block), i.e. the per-block overhead
// of block cutting, bypass mixing and input hand-over.
// Baseline (Release, GCC 12, shared 2-core VM): push+apply 59 ns per change; empty-graph
// stereo process 0.54 ns/sample at 256-sample blocks (138 ns per block), 2.2 at 64, 0.25 at 1024.

#include <benchmark/benchmark.h>

#include <vector>

#include "NsPerSample.h"
#include "engine/GenericPluginProcessor.h"

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

}  // namespace
}  // namespace tessel
