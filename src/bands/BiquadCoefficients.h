#pragma once

namespace tessel {

/// One second-order section: y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2],
/// normalised so that a0 = 1. A first-order section leaves b2 = a2 = 0. A cascade is a
/// contiguous array of sections, section 0 first. Designed in double precision off the per-sample
/// path; the kernels read them as they are.
struct BiquadCoefficients {
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;

    bool operator==(const BiquadCoefficients&) const = default;
};

}  // namespace tessel
