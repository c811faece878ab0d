#pragma once

#include <cstdint>

namespace tessel::sr {

/// Sizing of the Kaiser-window half-band FIR stages that move band processing between the host
/// rate and 2x or 4x oversampling. A stage's table has 4k + 1 taps, with k from the stop-band
/// attenuation (dB) and the normalised transition width t (fraction of the stage's input rate):
/// the steep first stage uses t = max((fs - 2 * edge) / fs, 0.09), the stages above it t = 0.5.
/// Pure functions, callable from any thread; used by the plug-in's latency report before any
/// converter exists.

inline constexpr double kRelaxedTransition = 0.5;
inline constexpr double kMinimumTransition = 0.09;
inline constexpr double kDefaultAttenuationDb = 90.0;
inline constexpr double kDefaultPassBandEdgeHz = 20000.0;

/// k of a half-band table (4k + 1 taps) for an attenuation in dB and a transition width t.
int32_t halfBandOrder(double attenuationDb, double transition) noexcept;

/// Transition width of the first (steep) stage at host rate sampleRateHz.
double firstStageTransition(double sampleRateHz, double passBandEdgeHz) noexcept;

/// Latency in host-rate samples of interpolating by `factor` (1, 2, 4, ...) and decimating back:
/// the sum over the stages f = factor, factor / 2, ..., 2 of 2 * ceil(2 k_f / f). Factor 1 (or
/// less) gives 0. A rate that is not a positive finite number is treated as 44100 Hz.
int32_t conversionLatency(int32_t factor, double sampleRateHz,
                          double passBandEdgeHz = kDefaultPassBandEdgeHz,
                          double attenuationDb = kDefaultAttenuationDb) noexcept;

}  // namespace tessel::sr
