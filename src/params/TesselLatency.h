#pragma once

#include <cstdint>

#include "params/ProcessingMode.h"

namespace tessel {

/// The plug-in's latency in samples at a sample rate, from the three settings that change it:
/// the lookahead delay (20 ms), the linear-phase band filters (a power-of-two multiple of 2048
/// samples plus 1024, growing with the rate) and the oversampling converters' round trip.
/// Computed on whatever thread changes one of those settings; pure and allocation-free.
struct TesselLatency {
    int32_t lookaheadSamples = 0;
    int32_t linearPhaseSamples = 0;
    int32_t oversamplingSamples = 0;

    int32_t total() const noexcept {
        return lookaheadSamples + linearPhaseSamples + oversamplingSamples;
    }

    /// oversampling is the Oversampling parameter's index: 0 Off, 1 2x, 2 4x (clamped). A rate
    /// that is not a positive finite number is treated as 44100 Hz.
    static TesselLatency compute(double sampleRateHz, ProcessingMode mode, bool lookaheadEnabled,
                                 int32_t oversampling) noexcept;
};

}  // namespace tessel
