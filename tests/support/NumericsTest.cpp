#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "support/Decibels.h"
#include "support/FastExp.h"
#include "support/Octave.h"
#include "support/Tolerance.h"

namespace tessel {
namespace {

TEST(FastExp, StaysWithinAFewUlpOfTheLibraryOverTheClampedRange) {
    std::mt19937 rng(20261205);
    std::uniform_real_distribution<float> arg(-87.0f, 88.3f);
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const float x = arg(rng);
        const double exact = std::exp(static_cast<double>(x));
        const double relative = std::fabs(fastExp(x) - exact) / exact;
        worst = std::max(worst, relative);
    }
    EXPECT_LT(worst, 4e-7) << "worst relative error";
    EXPECT_EQ(fastExp(0.0f), 1.0f);
}

TEST(FastExp, ClampsHugeArgumentsAndPassesNaNOn) {
    const float top = fastExp(88.37626f);
    EXPECT_TRUE(std::isfinite(top));
    EXPECT_NEAR(top / std::exp(static_cast<double>(88.37626f)), 1.0, 1e-6);
    EXPECT_EQ(fastExp(1000.0f), top);
    EXPECT_EQ(fastExp(std::numeric_limits<float>::infinity()), top);
    EXPECT_GE(fastExp(-1000.0f), 0.0f);
    EXPECT_LT(fastExp(-1000.0f), 1e-37f);
    EXPECT_TRUE(std::isnan(fastExp(std::numeric_limits<float>::quiet_NaN())));
}

TEST(Decibels, ConversionsAndTheFloor) {
    EXPECT_EQ(gainToDb(0.0f), -180.0f);
    EXPECT_EQ(gainToDb(1e-12f), -180.0f);
    EXPECT_EQ(gainToDb(std::numeric_limits<float>::quiet_NaN()), -180.0f);
    EXPECT_NEAR(gainToDb(0.5f), -6.0206f, 1e-4f);
    EXPECT_NEAR(gainToDb(-2.0f), 6.0206f, 1e-4f) << "the sign of a sample does not matter";
    EXPECT_EQ(gainToDb(1.0f), 0.0f);
    EXPECT_NEAR(dbToGain(6.0206f), 2.0f, 1e-5f);
    EXPECT_NEAR(dbToGain(-180.0f), 1e-9f, 1e-13f);
    for (float db = -120.0f; db <= 36.0f; db += 0.37f) {
        EXPECT_NEAR(gainToDb(dbToGain(db)), db, 1e-4f) << db;
        EXPECT_NEAR(fastDbToGain(db) / dbToGain(db), 1.0f, 1e-6f) << db;
    }
}

TEST(Octave, ValuesAreLog2Hertz) {
    EXPECT_DOUBLE_EQ(octaveToHz(10.0), 1024.0);
    EXPECT_NEAR(hzToOctave(20.0), kOctave20Hz, 1e-12);
    EXPECT_NEAR(hzToOctave(30.0), kOctave30Hz, 1e-12);
    EXPECT_NEAR(hzToOctave(30000.0), kOctave30kHz, 1e-12);
    EXPECT_NEAR(octaveToHz(hzToOctave(440.0)), 440.0, 1e-9);
}

TEST(Tolerance, NearlyEqualUsesSinglePrecisionEpsilon) {
    EXPECT_TRUE(nearlyEqual(1.0f, 1.0f + 1e-7f));
    EXPECT_FALSE(nearlyEqual(1.0f, 1.0f + 3e-7f));
    EXPECT_FALSE(nearlyEqual(std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::quiet_NaN()));
    EXPECT_TRUE(nearlyEqual(44100.0, 44100.0 + 1e-8));
}

}  // namespace
}  // namespace tessel
