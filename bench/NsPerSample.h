#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

namespace tessel::bench {

/// Measures wall time over a benchmark loop and reports it as the "ns/sample" counter:
/// nanoseconds per processed sample, given the samples one iteration processes.
/// Usage: `NsPerSample timer(state, frames); for (auto _ : state) {...}` (reports on destruction).
class NsPerSample {
public:
    NsPerSample(benchmark::State& state, int64_t samplesPerIteration)
        : state_(state),
          samplesPerIteration_(samplesPerIteration),
          start_(std::chrono::steady_clock::now()) {}

    ~NsPerSample() {
        const double ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start_)
                .count();
        const double samples =
            static_cast<double>(state_.iterations()) * static_cast<double>(samplesPerIteration_);
        if (samples > 0.0) state_.counters["ns/sample"] = benchmark::Counter(ns / samples);
    }

    NsPerSample(const NsPerSample&) = delete;
    NsPerSample& operator=(const NsPerSample&) = delete;

private:
    benchmark::State& state_;
    int64_t samplesPerIteration_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace tessel::bench
