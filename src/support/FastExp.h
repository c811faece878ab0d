#pragma once

#include <cstdint>
#include <cstring>

namespace tessel {

/// Single-precision e^x for vector paths (envelope coefficients, dB-to-gain on blocks).
/// Cody-Waite range reduction with a split ln 2 and a degree-7 polynomial: relative error within
/// a few ulp of std::exp over the whole clamped range. Branch-free and written with plain
/// arithmetic and a bit cast so that a loop over it vectorises with SSE2. Arguments are clamped to
/// [-88.37626, 88.37626], so the result is finite and never a denormal-producing underflow;
/// NaN is passed through the clamp unchanged and yields NaN.
inline float fastExp(float x) noexcept {
    constexpr float kMax = 88.37626f;
    x = x < -kMax ? -kMax : x;
    x = x > kMax ? kMax : x;
    // n = round(x / ln 2); floor(v + 0.5) without calling floorf keeps the loop vectorisable.
    const float v = x * 1.442695f + 0.5f;
    // Converting a NaN to an integer is undefined: take n = 0 for it (a select, still
    // vectorisable); r below stays NaN, so the result is NaN as promised.
    int32_t ni = static_cast<int32_t>(v == v ? v : 0.0f);
    ni -= (static_cast<float>(ni) > v) ? 1 : 0;
    const float n = static_cast<float>(ni);
    const float r = x - n * 0.6933594f - n * (-0.00021219444f);
    float p = 0.00019875691f;
    p = p * r + 0.0013981999f;
    p = p * r + 0.008333452f;
    p = p * r + 0.041665796f;
    p = p * r + 0.16666666f;
    p = p * r + 0.5f;
    const float y = 1.0f + r + r * r * p;
    // Scale by 2^n in two halves so that n = 128 (x close to the upper clamp) does not overflow
    // the exponent field of a single power of two.
    const int32_t n1 = ni >> 1;
    const int32_t n2 = ni - n1;
    const uint32_t b1 = static_cast<uint32_t>(n1 + 127) << 23;
    const uint32_t b2 = static_cast<uint32_t>(n2 + 127) << 23;
    float s1;
    float s2;
    std::memcpy(&s1, &b1, sizeof s1);
    std::memcpy(&s2, &b2, sizeof s2);
    return y * s1 * s2;
}

}  // namespace tessel
