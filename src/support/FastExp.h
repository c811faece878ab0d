#pragma once

#include <bit>
#include <cstdint>

namespace tessel {

/// Single-precision e^x for vector paths (envelope coefficients, dB-to-gain on blocks).
/// Cody-Waite range reduction with a split ln 2 and a degree-7 polynomial: relative error within
/// a few ulp of std::exp over the whole clamped range. Branch-free plain arithmetic, so a loop
/// over it vectorises with SSE2 (the build's -fno-trapping-math lets the selects be vectorised).
/// Arguments are clamped to [-88.37626, 88.37626], so the result is always finite; a NaN
/// argument yields NaN.
/// e^(x - n ln 2) for a whole n near x / ln 2: the range-reduced part of fastExp (ln 2 split so
/// that n ln 2 subtracts without rounding error, and a degree-7 polynomial), within [0.70, 1.42].
/// Callers scale it by 2^n their own way.
inline float fastExpReduced(float x, float n) noexcept {
    const float r = x - n * 0.6933594f - n * (-0.00021219444f);
    float p = 0.00019875691f;
    p = p * r + 0.0013981999f;
    p = p * r + 0.008333452f;
    p = p * r + 0.041665796f;
    p = p * r + 0.16666666f;
    p = p * r + 0.5f;
    return 1.0f + r + r * r * p;
}

inline float fastExp(float argument) noexcept {
    constexpr float kMax = 88.37626f;
    // Written so that NaN lands on a limit: the integer conversions below never see a NaN.
    float x = argument > -kMax ? argument : -kMax;
    x = x < kMax ? x : kMax;
    // n = floor(x / ln 2 + 0.5), without a libm call.
    const float v = x * 1.442695f + 0.5f;
    float n = static_cast<float>(static_cast<int32_t>(v));
    n -= n > v ? 1.0f : 0.0f;
    const float y = fastExpReduced(x, n);
    // Scale by 2^n in two halves so that n = 128 (x close to the upper clamp) does not overflow
    // the exponent field of a single power of two.
    const int32_t ni = static_cast<int32_t>(n);
    const int32_t n1 = ni >> 1;
    const int32_t n2 = ni - n1;
    const float s1 = std::bit_cast<float>((n1 + 127) << 23);
    const float s2 = std::bit_cast<float>((n2 + 127) << 23);
    const float result = y * s1 * s2;
    return argument == argument ? result : argument;
}

}  // namespace tessel
