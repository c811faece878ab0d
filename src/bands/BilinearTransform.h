#pragma once

#include "bands/BiquadCoefficients.h"
#include "bands/BiquadPrototype.h"

namespace tessel {

/// The prewarped bilinear transform from a normalised analog section (cut-off 1 rad/s) to a
/// digital biquad, s = (1/K) (1 - z^-1) / (1 + z^-1) with K = tan(w / 2). Frequencies below
/// 1 Hz act as 1 Hz and w is clamped to kMaxAngularFrequency, just short of Nyquist, so K
/// stays finite; NaN frequencies act as 1 Hz and a sample rate that is not a positive finite
/// number as 44100 Hz. Pure functions in double precision; callable from any thread.

/// Largest angular frequency a design uses, in radians per sample (pi - 0.01).
inline constexpr double kMaxAngularFrequency = 3.1315928;

/// 2 pi f / fs for f raised to at least 1 Hz, clamped to kMaxAngularFrequency.
double clampedAngularFrequency(double frequencyHz, double sampleRateHz) noexcept;

/// K = tan(w / 2) for the clamped angular frequency of frequencyHz.
double prewarpedTangent(double frequencyHz, double sampleRateHz) noexcept;

/// Digital coefficients of the section (its gain included) for the tangent k.
BiquadCoefficients bilinearTransform(const BiquadPrototype& section, double k) noexcept;

/// Band Q corrected for the transform's compression at angular frequency w:
/// q * (w / 2) / tan(w / 2), with w clamped to 0.9 pi (the correction stops growing there).
double prewarpedBandQ(double q, double angularFrequency) noexcept;

}  // namespace tessel
