#pragma once

#include "bands/BiquadCoefficients.h"
#include "bands/BiquadPrototype.h"

namespace tessel {

/// Digital biquad whose magnitude follows an analog section up to near Nyquist, without the
/// bilinear transform's compression of the frequency axis near fs / 2. The poles start from the
/// exact mapping z = e^(s T); numerator and denominator squared magnitudes (quadratics in
/// sin^2(w/2)) are then fitted alternately by weighted least squares on the relative error over
/// points from three octaves below the section's features to 0.93 pi, reweighted towards the
/// worst points, with DC, zeros at DC and zeros on the imaginary axis (notches) kept exact, and
/// factored into a minimum-phase biquad. A band-stop section (notch at w0) is instead fitted
/// together with its mirror section, the pair's poles as one polynomial in sin^2(w/2) up to
/// 0.9 pi with its notch and DC exact, and keeps its own half of them; the lone section's fit
/// cannot follow the cascade near Nyquist, where the two mirrors' errors no longer cancel.
/// Phase is not matched. w0 is the angular frequency in radians per sample at which the
/// section's normalised variable is j. Falls back to the bilinear transform when the fit fails.
/// Pure, bounded work (a few microseconds); callable from any thread, never allocates.
BiquadCoefficients magnitudeMatchedSection(const BiquadPrototype& section, double w0) noexcept;

}  // namespace tessel
