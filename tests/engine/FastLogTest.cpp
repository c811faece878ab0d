#include "support/FastLog.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

namespace tessel {
namespace {

// A few ulp of single precision, relative to the result.
constexpr double kRelativeTolerance = 2.5e-7;

void expectAccurate(float x) {
    const double ln = std::log(static_cast<double>(x));
    const double log10 = std::log10(static_cast<double>(x));
    ASSERT_NEAR(fastLog(x), ln, kRelativeTolerance * std::fabs(ln)) << x;
    ASSERT_NEAR(fastLog10(x), log10, kRelativeTolerance * std::fabs(log10)) << x;
}

TEST(FastLog, MatchesStdLogOverTheWholeNormalRange) {
    // Log-spaced from the smallest normal float to the largest, and every power of two.
    for (double exponent = -37.9; exponent <= 38.5; exponent += 0.000731) {
        const float x = static_cast<float>(std::pow(10.0, exponent));
        if (x >= FLT_MIN && x <= FLT_MAX) expectAccurate(x);
    }
    for (int e = -126; e <= 127; ++e)
        expectAccurate(std::ldexp(1.0f, e));
    expectAccurate(FLT_MAX);
}

TEST(FastLog, KeepsRelativeAccuracyNextToOne) {
    // Every 16th float of [0.5, 2), where ln x is tiny and an absolute bound would hide errors.
    EXPECT_EQ(fastLog(1.0f), 0.0f);
    for (float x = 0.5f; x < 2.0f;) {
        if (x != 1.0f) expectAccurate(x);
        for (int k = 0; k < 16; ++k)
            x = std::nextafter(x, 4.0f);
    }
}

}  // namespace
}  // namespace tessel
