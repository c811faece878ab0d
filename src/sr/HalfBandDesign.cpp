#include "sr/HalfBandDesign.h"

#include <algorithm>
#include <cmath>

namespace tessel::sr {

int32_t halfBandOrder(double attenuationDb, double transition) noexcept {
    // Kaiser's length estimate for the half-band, rounded so that the table length is 4k + 1
    // (odd, with zeros at every second tap around the centre).
    const double x = (attenuationDb - 7.95) / (7.18 * transition);
    const double clamped = std::clamp(std::isfinite(x) ? x : 0.0, 0.0, 1.0e6);
    return (2 + static_cast<int32_t>(clamped)) / 4;
}

double firstStageTransition(double sampleRateHz, double passBandEdgeHz) noexcept {
    return std::max((sampleRateHz - 2.0 * passBandEdgeHz) / sampleRateHz, kMinimumTransition);
}

int32_t conversionLatency(int32_t factor, double sampleRateHz, double passBandEdgeHz,
                          double attenuationDb) noexcept {
    if (!(sampleRateHz > 0.0) || !std::isfinite(sampleRateHz)) sampleRateHz = 44100.0;
    int32_t latency = 0;
    for (int32_t f = factor; f >= 2; f /= 2) {
        const double t =
            f == 2 ? firstStageTransition(sampleRateHz, passBandEdgeHz) : kRelaxedTransition;
        const int32_t k = halfBandOrder(attenuationDb, t);
        latency += 2 * ((2 * k + f - 1) / f);  // 2 * ceil(2k / f)
    }
    return latency;
}

}  // namespace tessel::sr
