#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>

#include "support/Decibels.h"
#include "support/FastExp.h"
#include "support/Octave.h"
#include "support/Tolerance.h"

namespace tessel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Numerics, FastExpDecibelsOctavesAndTheTolerance) {
    std::mt19937 rng(20261205);
    std::uniform_real_distribution<float> arg(-87.0f, 88.3f);
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const float x = arg(rng);
        const double exact = std::exp(static_cast<double>(x));
        worst = std::max(worst, std::fabs(fastExp(x) - exact) / exact);
    }
    EXPECT_LT(worst, 4e-7) << "worst relative error";
    EXPECT_EQ(fastExp(0.0f), 1.0f);
    const float top = fastExp(88.37626f);
    EXPECT_NEAR(top / std::exp(static_cast<double>(88.37626f)), 1.0, 1e-6);
    EXPECT_TRUE(fastExp(1000.0f) == top && fastExp(kInf) == top);
    EXPECT_TRUE(fastExp(-1000.0f) >= 0.0f && fastExp(-1000.0f) < 1e-37f &&
                std::isnan(fastExp(kNaN)));

    for (float silent : {0.0f, 1e-12f, kNaN})
        EXPECT_EQ(gainToDb(silent), -180.0f) << silent;
    EXPECT_NEAR(gainToDb(-2.0f), 6.0206f, 1e-4f) << "the sign of a sample does not matter";
    for (float db = -120.0f; db <= 36.0f; db += 0.37f) {
        EXPECT_NEAR(gainToDb(dbToGain(db)), db, 1e-4f) << db;
        EXPECT_NEAR(fastDbToGain(db) / dbToGain(db), 1.0f, 1e-6f) << db;
    }
    // Frequencies travel as log2 Hz; the named ends of the audible range match.
    const std::pair<double, double> octaves[] = {
        {1024.0, 10.0}, {20.0, kOctave20Hz}, {30.0, kOctave30Hz}, {30000.0, kOctave30kHz}};
    for (const auto& [hz, octave] : octaves)
        EXPECT_NEAR(octaveToHz(octave), hz, 1e-12 * hz) << hz;
    // One tolerance, single-precision epsilon, for floats and doubles; NaN is never near.
    EXPECT_TRUE(nearlyEqual(1.0f, 1.0f + 1e-7f) && nearlyEqual(44100.0, 44100.0 + 1e-8));
    EXPECT_FALSE(nearlyEqual(1.0f, 1.0f + 3e-7f) || nearlyEqual(kNaN, kNaN));
}

}  // namespace
}  // namespace tessel
