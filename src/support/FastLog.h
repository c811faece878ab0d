#pragma once

#include <cstdint>
#include <cstring>

namespace tessel {

/// Single-precision natural logarithm for vector paths (levels in dB on whole blocks).
/// The argument is split into exponent and mantissa by bit manipulation, the mantissa folded into
/// [sqrt(1/2), sqrt(2)) and ln(1 + m) evaluated with a polynomial; ln 2 is split so that
/// e * ln 2 adds without rounding error. Relative error within a few ulp of std::log, also near
/// x = 1 where the result is tiny. Branch-free plain arithmetic and bit casts, so a loop over it
/// vectorises with SSE2.
/// Domain: positive, normal, finite x. Zero, denormals, negatives, infinities and NaN give a
/// meaningless (but harmless: no trap, no hang) value; callers floor or clamp their input first.
inline float fastLog(float x) noexcept {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    // x = (1 + m) * 2^e with 1 + m in [sqrt(1/2), sqrt(2)), so the polynomial argument m stays
    // within about -0.29..0.41 and the result keeps its relative accuracy close to x = 1. The
    // offset moves mantissas at or above sqrt(2) into the next exponent; integer arithmetic only,
    // because GCC will not if-convert a conditional float operation (it might trap).
    bits += 0x3F800000u - 0x3F3504F3u;
    const float ef = static_cast<float>(static_cast<int32_t>(bits >> 23) - 127);
    bits = (bits & 0x007FFFFFu) + 0x3F3504F3u;
    float m;
    std::memcpy(&m, &bits, sizeof m);
    m -= 1.0f;
    const float z = m * m;
    float p = 7.0376836292e-2f;
    p = p * m - 1.1514610310e-1f;
    p = p * m + 1.1676998740e-1f;
    p = p * m - 1.2420140846e-1f;
    p = p * m + 1.4249322787e-1f;
    p = p * m - 1.6668057665e-1f;
    p = p * m + 2.0000714765e-1f;
    p = p * m - 2.4999993993e-1f;
    p = p * m + 3.3333331174e-1f;
    // ln 2 = 0.693359375 - 2.12194440e-4: the first part has few mantissa bits, so e times it is
    // exact for every exponent a float can have.
    float y = p * m * z;
    y += ef * -2.12194440e-4f;
    y += -0.5f * z;
    return (m + y) + ef * 0.693359375f;
}

/// log10(x) = ln(x) * log10(e); same domain and accuracy as fastLog.
inline float fastLog10(float x) noexcept {
    return fastLog(x) * 0.43429448190325182f;
}

}  // namespace tessel
