// The dB converter and the fast logarithm it is built on.

#include "engine/DBConverter.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <tuple>

#include "TestSignals.h"
#include "support/FastLog.h"

namespace tessel {
namespace {

using Conversion = DBConverter::Conversion;
using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 120;  // a multiple of every case list's length below

TEST(DBConverter, ConvertsReferenceAndNonFiniteValuesAlikeInConstantAndVaryingBlocks) {
    const float maxDb = 20.0f * std::log10(FLT_MAX);  // 770.6 dB
    const std::tuple<Conversion, std::vector<float>, std::vector<float>> cases[] = {
        // conversion, inputs, outputs
        {Conversion::kGainToDb,
         {0.0f, 1.0f, -10.0f, 0.5f, 2e-9f, 5e-10f, kNaN, -kInf},
         {-180.0f, 0.0f, 20.0f, -6.0206f, -173.9794f, -180.0f, -180.0f, maxDb}},
        {Conversion::kDbToGain, {-6.0206f, 20.0f, kNaN}, {0.5f, 10.0f, kNaN}},
        {Conversion::kReductionToDb,
         {0.5f, 1.0f, 0.9f, kNaN, kInf},
         {6.0206f, 180.0f, 20.0f, 180.0f, -maxDb}},
        {Conversion::kDbToReduction, {6.0206f, 20.0f, 0.0f}, {0.5f, 0.9f, 0.0f}},
    };
    auto near = [](float y, float expected) {
        return std::isnan(expected) ? std::isnan(y)
                                    : std::fabs(y - expected) <= 2e-5f * std::fabs(expected);
    };
    wave::Environment env(256, true);
    for (const auto& [conversion, in, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(conversion));
        PatternSource varying(&env, in);
        DBConverter converter(&env, conversion);
        converter.setInput(&varying);
        const std::vector<float> out = runCycle(env, converter, kFrames);
        EXPECT_FALSE(converter.outputBlock()->isConstant());
        for (int32_t i = 0; i < kFrames; ++i)
            EXPECT_TRUE(near(out[i], expected[i % in.size()]))
                << in[i % in.size()] << ": " << out[i];
        for (std::size_t k = 0; k < in.size(); ++k) {
            ConstantSource constant(&env, in[k]);
            converter.setInput(&constant);
            EXPECT_TRUE(near(runCycle(env, converter, kFrames)[kFrames - 1], expected[k])) << in[k];
            EXPECT_TRUE(converter.outputBlock()->isConstant());
        }
    }
    // Infinite dB clamp to the exponential's range; conversions outside 0..3 are clamped.
    EXPECT_TRUE(std::isfinite(DBConverter::convert(Conversion::kDbToGain, kInf)));
    EXPECT_TRUE(std::isfinite(DBConverter::convert(Conversion::kDbToReduction, -kInf)));
    DBConverter clamped(&env, static_cast<Conversion>(-1));
    EXPECT_EQ(clamped.conversion(), Conversion::kGainToDb);
    clamped.conversion() = static_cast<Conversion>(9);
    EXPECT_EQ(clamped.conversion(), Conversion::kDbToReduction);
}

// Relative error within a few ulp of single precision, over the whole normal range and next to
// 1, where ln x is tiny and an absolute bound would hide errors.
TEST(FastLog, MatchesStdLogToAFewUlpOverTheWholeNormalRange) {
    auto accurate = [](float x) {
        const double ln = std::log(static_cast<double>(x));
        const double log10 = std::log10(static_cast<double>(x));
        return std::fabs(fastLog(x) - ln) <= 2.5e-7 * std::fabs(ln) &&
               std::fabs(fastLog10(x) - log10) <= 2.5e-7 * std::fabs(log10);
    };
    for (double exponent = -37.9; exponent <= 38.5; exponent += 0.000731) {
        const float x = static_cast<float>(std::pow(10.0, exponent));
        if (x >= FLT_MIN && x <= FLT_MAX) {
            ASSERT_TRUE(accurate(x)) << x;
        }
    }
    for (int e = -126; e <= 127; ++e)
        ASSERT_TRUE(accurate(std::ldexp(1.0f, e))) << e;
    EXPECT_TRUE(accurate(FLT_MAX));
    EXPECT_EQ(fastLog(1.0f), 0.0f);
    for (uint32_t bits = std::bit_cast<uint32_t>(0.5f); bits < std::bit_cast<uint32_t>(2.0f);
         bits += 16) {  // every 16th float of [0.5, 2)
        const float x = std::bit_cast<float>(bits);
        if (x != 1.0f) {
            ASSERT_TRUE(accurate(x)) << x;
        }
    }
}

}  // namespace
}  // namespace tessel
