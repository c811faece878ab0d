#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tessel {

/// Sizing of the linear-phase band filters. Their kernels scale with the sample rate in powers
/// of two, so that the frequency resolution stays the same: factor 1 at 44.1 and 48 kHz, 2 at
/// 88.2 and 96 kHz, 4 at 176.4 and 192 kHz. A kernel is 4096 x factor samples long; the band
/// signals lag the input by half a kernel plus the convolution's own lag, two partitions of the
/// finest level (1024 samples). Pure functions, callable from any thread (the latency report
/// needs them before any kernel exists).
struct LinearPhaseSizing {
    static constexpr int32_t kBaseKernelLength = 4096;
    /// Transform size of the finest convolution level (partitions of half of it).
    static constexpr int32_t kTransformSize = 1024;
    /// Kernels of this length and longer get a coarser level on top, whose transform grows by
    /// kCoarseGrowth until the kernel is shorter than 32 of its transforms.
    static constexpr int32_t kCoarseLevelKernelLength = 32 * kTransformSize;
    static constexpr int32_t kCoarseGrowth = 8;
    /// The convolution's lag: two partitions of the finest level.
    static constexpr int32_t kKernelOffset = kTransformSize;

    /// The smallest power of two not below the rate's multiple of 44.1 kHz (rounded half away
    /// from zero, at least 1). A rate that is not a positive finite number counts as 44.1 kHz.
    static int32_t kernelFactor(double sampleRateHz) noexcept {
        if (!(sampleRateHz > 0.0) || !std::isfinite(sampleRateHz)) return 1;
        const double ratio = std::round(sampleRateHz * 2.2675737e-05);
        const int32_t r = std::max(1, static_cast<int32_t>(std::min(ratio, 1024.0)));
        int32_t k = 1;
        while (k < r)
            k <<= 1;
        return k;
    }
    static int32_t kernelLength(double sampleRateHz) noexcept {
        return kBaseKernelLength * kernelFactor(sampleRateHz);
    }
    /// Delay of every band signal behind the input, in samples.
    static int32_t latencySamples(double sampleRateHz) noexcept {
        return kernelLength(sampleRateHz) / 2 + kKernelOffset;
    }
};

}  // namespace tessel
