#pragma once

#include <cmath>

#include "support/FastExp.h"

namespace tessel {

/// Levels in dB never go below this floor: silence is -180 dB, not -infinity.
inline constexpr float kMinimumDb = -180.0f;

/// ln(10) / 20: dB to gain is e^(dB * kDbToNeper).
inline constexpr float kDbToNeper = 0.115129255f;
/// 20 / ln(10): gain to dB is ln(gain) * kNeperToDb.
inline constexpr float kNeperToDb = 8.6858896380650366f;

/// Linear gain (or amplitude) to dB: 20 log10 |gain|, never below -180 dB. NaN gives -180 dB, so a
/// faulty sample can never poison a level that is later turned back into a gain.
inline float gainToDb(float gainLinear) noexcept {
    const float a = std::fabs(gainLinear);
    if (!(a > 1e-9f)) return kMinimumDb;  // also catches NaN
    const float db = 20.0f * std::log10(a);
    return db < kMinimumDb ? kMinimumDb : db;
}

/// dB to linear gain, e^(dB * 0.115129255), in double precision for control paths.
inline float dbToGain(float db) noexcept {
    return static_cast<float>(std::exp(static_cast<double>(db) * 0.115129255));
}

/// dB to linear gain with the fast single-precision exponential, for per-sample block loops.
inline float fastDbToGain(float db) noexcept {
    return fastExp(db * kDbToNeper);
}

}  // namespace tessel
