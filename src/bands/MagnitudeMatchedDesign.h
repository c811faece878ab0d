#pragma once

#include "bands/BiquadCoefficients.h"
#include "bands/BiquadPrototype.h"

namespace tessel {

/// Digital biquad whose magnitude follows an analog section up to Nyquist, without the
/// bilinear transform's compression of the frequency axis near fs / 2. The poles are mapped
/// exactly (z = e^(s T), so a stable analog section gives a stable digital one); the numerator
/// is then solved in closed form so that the squared magnitude matches the analog one at 0,
/// at Nyquist and at the section's pole (or pole-zero mean) frequency. Phase is not matched.
/// w0 is the angular frequency in radians per sample at which the section's normalised
/// variable is j (clamp it as the bilinear transform does). Pure; callable from any thread.
BiquadCoefficients magnitudeMatchedSection(const BiquadPrototype& section, double w0) noexcept;

}  // namespace tessel
