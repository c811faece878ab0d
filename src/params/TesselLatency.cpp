#include "params/TesselLatency.h"

#include <algorithm>
#include <cmath>

#include "sr/HalfBandDesign.h"

namespace tessel {

TesselLatency TesselLatency::compute(double sampleRateHz, ProcessingMode mode,
                                     bool lookaheadEnabled, int32_t oversampling) noexcept {
    if (!(sampleRateHz > 0.0) || !std::isfinite(sampleRateHz)) sampleRateHz = 44100.0;
    TesselLatency latency;
    if (lookaheadEnabled) latency.lookaheadSamples = static_cast<int32_t>(sampleRateHz * 0.02);
    if (mode == ProcessingMode::kLinearPhase) {
        // The kernels scale with the rate in powers of two: 2048-sample blocks at 44.1/48 kHz,
        // twice that at 88.2/96 kHz, and so on.
        const double ratio = std::round(sampleRateHz * 2.2675737e-05);  // half away from zero
        const int32_t r = std::max(1, static_cast<int32_t>(std::min(ratio, 1024.0)));
        int32_t k = 1;
        while (k < r)
            k <<= 1;
        latency.linearPhaseSamples = k * 2048 + 1024;
    }
    oversampling = std::clamp(oversampling, 0, 2);
    if (oversampling > 0) {
        latency.oversamplingSamples =
            sr::conversionLatency(1 << oversampling, sampleRateHz, 20000.0, 90.0);
    }
    return latency;
}

}  // namespace tessel
