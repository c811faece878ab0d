#pragma once

#include <cmath>

namespace tessel {

/// The one equality tolerance for floating-point values throughout the system (single-precision
/// machine epsilon). Two control values closer than this are the same value: a ramp is not
/// started, a gain of 1 within it is unity, a sample rate change within it is no change.
inline constexpr float kFloatTolerance = 1.1920929e-7f;

/// True when a and b differ by at most kFloatTolerance. NaN is never near anything.
inline constexpr bool nearlyEqual(float a, float b) noexcept {
    const float d = a - b;
    return d <= kFloatTolerance && d >= -kFloatTolerance;
}

inline constexpr bool nearlyEqual(double a, double b) noexcept {
    const double d = a - b;
    return d <= kFloatTolerance && d >= -kFloatTolerance;
}

}  // namespace tessel
