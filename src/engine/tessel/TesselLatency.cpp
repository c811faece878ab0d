#include "engine/tessel/TesselLatency.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "bands/LinearPhaseSizing.h"
#include "dynamics/BandCompander.h"
#include "params/TesselParameters.h"
#include "sr/ConverterStyle.h"

namespace tessel {

static_assert(std::atomic<uint64_t>::is_always_lock_free);

TesselLatency TesselLatency::compute(double sampleRateHz, ProcessingMode mode,
                                     bool lookaheadEnabled, int32_t oversampling) noexcept {
    if (!(sampleRateHz > 0.0) || !std::isfinite(sampleRateHz)) sampleRateHz = 44100.0;
    TesselLatency latency;
    if (lookaheadEnabled)
        latency.lookaheadSamples = BandCompander::maximumLookaheadSamples(sampleRateHz);
    if (mode == ProcessingMode::kLinearPhase)
        latency.linearPhaseSamples = LinearPhaseSizing::latencySamples(sampleRateHz);
    oversampling = std::clamp(oversampling, 0, 2);
    if (oversampling > 0) {
        latency.oversamplingSamples = sr::ConverterStyle::conversionLatency(
            1 << oversampling, sampleRateHz, sr::ConverterStyle::kDefaultPassBandEdgeHz,
            sr::ConverterStyle::kDefaultAttenuationDb);
    }
    return latency;
}

TesselLatency TesselLatency::of(const TesselParameters& parameters, double sampleRateHz) noexcept {
    return compute(sampleRateHz, parameters.processingMode.storedValue(),
                   parameters.lookaheadEnabled.storedValue(),
                   parameters.oversampling.currentIndex());
}

// Low 32 bits: the rate's float bits; then 2 bits mode, 1 bit lookahead, 2 bits oversampling.
uint64_t TesselLatencyInputs::pack(const Values& values) noexcept {
    const auto mode = static_cast<uint64_t>(std::clamp(static_cast<int32_t>(values.mode), 0, 2));
    const auto oversampling = static_cast<uint64_t>(std::clamp(values.oversampling, 0, 2));
    return static_cast<uint64_t>(std::bit_cast<uint32_t>(values.sampleRateHz)) | mode << 32 |
           static_cast<uint64_t>(values.lookaheadEnabled) << 34 | oversampling << 35;
}

TesselLatencyInputs::Values TesselLatencyInputs::unpack(uint64_t word) noexcept {
    Values values;
    values.sampleRateHz = std::bit_cast<float>(static_cast<uint32_t>(word));
    values.mode = static_cast<ProcessingMode>((word >> 32) & 3u);
    values.lookaheadEnabled = ((word >> 34) & 1u) != 0;
    values.oversampling = static_cast<int32_t>((word >> 35) & 3u);
    return values;
}

}  // namespace tessel
