#include "bands/BilinearTransform.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tessel {

namespace {
constexpr double kMaxPrewarpAngularFrequency = 0.9 * 3.141592653589793;
}  // namespace

double clampedAngularFrequency(double frequencyHz, double sampleRateHz) noexcept {
    const double f = frequencyHz >= 1.0 ? frequencyHz : 1.0;  // NaN fails the comparison
    const double fs = (sampleRateHz > 0.0 && std::isfinite(sampleRateHz)) ? sampleRateHz : 44100.0;
    const double w = 2.0 * std::numbers::pi * f / fs;
    return std::min(w, kMaxAngularFrequency);  // min keeps an infinite f at the clamp
}

double prewarpedTangent(double frequencyHz, double sampleRateHz) noexcept {
    return std::tan(0.5 * clampedAngularFrequency(frequencyHz, sampleRateHz));
}

BiquadCoefficients bilinearTransform(const BiquadPrototype& section, double k) noexcept {
    const double g = section.gain();
    const double n2 = section.n2(), n1 = section.n1(), n0 = section.n0();
    const double d2 = section.d2(), d1 = section.d1(), d0 = section.d0();
    const double kk = k * k;
    BiquadCoefficients c;
    if (section.order() == 1) {
        const double a0 = d1 + d0 * k;
        c.b0 = g * (n1 + n0 * k) / a0;
        c.b1 = g * (n0 * k - n1) / a0;
        c.a1 = (d0 * k - d1) / a0;
        return c;
    }
    const double a0 = d2 + d1 * k + d0 * kk;
    c.b0 = g * (n2 + n1 * k + n0 * kk) / a0;
    c.b1 = g * 2.0 * (n0 * kk - n2) / a0;
    c.b2 = g * (n2 - n1 * k + n0 * kk) / a0;
    c.a1 = 2.0 * (d0 * kk - d2) / a0;
    c.a2 = (d2 - d1 * k + d0 * kk) / a0;
    return c;
}

double prewarpedBandQ(double q, double angularFrequency) noexcept {
    // Above 0.45 of the rate the correction stops growing: nearer Nyquist it would shrink Q
    // towards nothing and leave the band sections with tens of dB of gain against each other,
    // for a band that lies mostly beyond Nyquist anyway.
    const double w = std::clamp(angularFrequency, 1e-9, kMaxPrewarpAngularFrequency);
    return q * (0.5 * w) / std::tan(0.5 * w);
}

}  // namespace tessel
