#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/tessel/TesselProcessor.h"

namespace tessel::testing {

/// A processor as a host drives it: parameters through the queue by value or by display text,
/// audio through `process` in host blocks, planar channels.
struct ProcessorRig {
    using Signal = std::vector<std::vector<float>>;  // [channel][sample]

    explicit ProcessorRig(int32_t layout = 1, float sampleRateHz = 48000.0f, bool sideChain = false)
        : processor(std::make_unique<TesselProcessor>(layout, sideChain)),
          channels(processor->channelCount()) {
        processor->environment()->setSampleRate(sampleRateHz);
        if (sideChain) {
            processor->setSideChainPresent(true);
            processor->setSideChainConnected(true);
        }
    }

    TesselProcessor& p() { return *processor; }

    void set(const AbstractPluginParameter& parameter, float value) {
        processor->setParameter(parameter.identifier(), value, GenericPluginProcessor::kFromHost);
    }
    /// Sets a parameter from its display text; false when the text does not parse.
    bool setText(const AbstractPluginParameter& parameter, const std::string& text) {
        float value = 0.0f;
        std::string reason;
        if (!parameter.valueFromText(text, value, reason)) return false;
        set(parameter, value);
        return true;
    }
    /// Puts band b in use between two frequencies (Hz), enabled.
    void useBand(int32_t b, float lowHz, float highHz) {
        const BandParameterSet& band = processor->band(b);
        set(band.state, static_cast<float>(BandState::kEnabled));
        set(band.lowCrossover, std::log2(lowHz));
        set(band.highCrossover, std::log2(highHz));
    }
    /// Four or six adjacent bands covering 30 Hz..30 kHz.
    void useBands(int32_t count) {
        static const float kEdges[] = {30.0f, 120.0f, 500.0f, 2000.0f, 6000.0f, 12000.0f, 30000.0f};
        static const float kFourEdges[] = {30.0f, 150.0f, 1000.0f, 5000.0f, 30000.0f};
        for (int32_t b = 0; b < count; ++b) {
            if (count == 4)
                useBand(b, kFourEdges[b], kFourEdges[b + 1]);
            else
                useBand(b, kEdges[b], kEdges[b + 1]);
        }
    }

    /// Runs `in` through in blocks of `block` samples; sideChain (may be empty) feeds the
    /// external input.
    Signal run(const Signal& in, int32_t block = 256, const Signal& sideChain = {}) {
        Signal out(static_cast<std::size_t>(channels),
                   std::vector<float>(in.empty() ? 0 : in[0].size()));
        runInto(in, out, block, sideChain);
        return out;
    }
    /// As `run`, into `out` (sized like `in`); allocates nothing.
    void runInto(const Signal& in, Signal& out, int32_t block = 256, const Signal& sideChain = {}) {
        const std::size_t n = in.empty() ? 0 : in[0].size();
        for (std::size_t at = 0; at < n; at += static_cast<std::size_t>(block)) {
            const int32_t frames = static_cast<int32_t>(std::min<std::size_t>(block, n - at));
            for (int32_t c = 0; c < channels; ++c) {
                const auto k = static_cast<std::size_t>(c);
                inputs_[k] = in[std::min(k, in.size() - 1)].data() + at;
                inputs_[2 + k] = sideChain.empty()
                                     ? inputs_[k]
                                     : sideChain[std::min(k, sideChain.size() - 1)].data() + at;
                outputs_[k] = out[k].data() + at;
            }
            // The frame reads side-chain arrays after the main ones.
            if (channels == 1) inputs_[1] = inputs_[2];
            processor->process(inputs_, channels * (sideChain.empty() ? 1 : 2), outputs_, channels,
                               frames, nullptr);
        }
    }

    static Signal noise(int32_t channels, std::size_t n, float amplitude = 0.25f,
                        uint32_t seed = 1) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-amplitude, amplitude);
        Signal s(static_cast<std::size_t>(channels), std::vector<float>(n));
        for (auto& ch : s)
            for (float& x : ch)
                x = u(rng);
        return s;
    }
    static Signal impulse(int32_t channels, std::size_t n, std::size_t at = 0) {
        Signal s(static_cast<std::size_t>(channels), std::vector<float>(n));
        for (auto& ch : s)
            ch[at] = 1.0f;
        return s;
    }

    std::unique_ptr<TesselProcessor> processor;
    int32_t channels;

private:
    const float* inputs_[4] = {};
    float* outputs_[2] = {};
};

}  // namespace tessel::testing
