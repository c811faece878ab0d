#include "engine/DBConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "TestSignals.h"

namespace tessel {
namespace {

using Conversion = DBConverter::Conversion;
using testing::ConstantSource;
using testing::PatternSource;
using testing::runCycle;

constexpr int32_t kFrames = 64;

struct DBConverterFixture : ::testing::Test {
    // Converts x as a constant input block; the output must be constant too.
    float convertConstant(Conversion conversion, float x) {
        ConstantSource in(&env, x);
        DBConverter converter(&env, conversion);
        converter.setInput(&in);
        const float y = runCycle(env, converter, kFrames)[kFrames - 1];
        EXPECT_TRUE(converter.outputBlock()->isConstant());
        return y;
    }

    wave::Environment env{256, true};
};

TEST_F(DBConverterFixture, ConvertsTheReferenceValues) {
    const std::tuple<Conversion, float, float> cases[] = {
        {Conversion::kGainToDb, 0.0f, -180.0f},      {Conversion::kGainToDb, -10.0f, 20.0f},
        {Conversion::kGainToDb, 0.5f, -6.0206f},     {Conversion::kGainToDb, 2e-9f, -173.9794f},
        {Conversion::kGainToDb, 5e-10f, -180.0f},    {Conversion::kDbToGain, -6.0206f, 0.5f},
        {Conversion::kDbToGain, 20.0f, 10.0f},       {Conversion::kReductionToDb, 0.5f, 6.0206f},
        {Conversion::kReductionToDb, 1.0f, 180.0f},  {Conversion::kReductionToDb, 0.9f, 20.0f},
        {Conversion::kDbToReduction, 6.0206f, 0.5f}, {Conversion::kDbToReduction, 20.0f, 0.9f},
    };
    for (const auto& [conversion, in, expected] : cases) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(conversion) << " of " << in);
        EXPECT_NEAR(convertConstant(conversion, in), expected, 2e-5f * std::fabs(expected));
    }
    EXPECT_EQ(convertConstant(Conversion::kGainToDb, 1.0f), 0.0f);
    EXPECT_EQ(convertConstant(Conversion::kDbToReduction, 0.0f), 0.0f);
}

TEST_F(DBConverterFixture, VaryingBlocksMatchTheConstantPathAndRoundTrip) {
    // Gains over 200 dB with both signs, to dB and back; reduction fractions 0..0.999 likewise.
    std::vector<float> gains;
    std::vector<float> fractions;
    for (int i = 0; i < 1000; ++i) {
        gains.push_back(std::pow(10.0f, -9.0f + i * 0.01f) * (i % 2 == 0 ? 1.0f : -1.0f));
        fractions.push_back(i * 0.000999f);
    }
    PatternSource gain(&env, gains);
    PatternSource fraction(&env, fractions);
    DBConverter toDb(&env, Conversion::kGainToDb);
    DBConverter toGain(&env, Conversion::kDbToGain);
    DBConverter toReductionDb(&env, Conversion::kReductionToDb);
    DBConverter toFraction(&env, Conversion::kDbToReduction);
    toDb.setInput(&gain);
    toGain.setInput(&toDb);
    toReductionDb.setInput(&fraction);
    toFraction.setInput(&toReductionDb);
    for (int c = 0; c < 16; ++c) {
        const int64_t start = env.samplePosition();
        env.beginCycle();
        const float* db = toDb.pull(kFrames)->data();
        const float* g = toGain.pull(kFrames)->data();
        const float* f = toFraction.pull(kFrames)->data();
        EXPECT_FALSE(toDb.outputBlock()->isConstant());
        for (int32_t i = 0; i < kFrames; ++i) {
            const float x = gain.at(start + i);
            ASSERT_EQ(db[i], DBConverter::convert(Conversion::kGainToDb, x));
            ASSERT_NEAR(db[i], 20.0 * std::log10(std::fabs(static_cast<double>(x))), 1e-4);
            ASSERT_NEAR(g[i], std::fabs(x), 5e-6f * std::fabs(x));
            ASSERT_NEAR(f[i], fraction.at(start + i), 2e-6f);
        }
        env.advance(kFrames, 0);
    }
}

TEST_F(DBConverterFixture, NonFiniteInputsGiveDefinedResults) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float largestDb = 20.0f * std::log10(std::numeric_limits<float>::max());  // 770.6 dB
    EXPECT_EQ(convertConstant(Conversion::kReductionToDb, nan), 180.0f);
    EXPECT_NEAR(convertConstant(Conversion::kReductionToDb, inf), -largestDb, 1e-3f);
    EXPECT_TRUE(std::isnan(convertConstant(Conversion::kDbToGain, nan)));
    EXPECT_TRUE(std::isfinite(convertConstant(Conversion::kDbToGain, inf)));
    EXPECT_TRUE(std::isfinite(convertConstant(Conversion::kDbToReduction, -inf)));

    PatternSource bad(&env, {nan, inf, -inf, 0.0f});
    DBConverter converter(&env, static_cast<Conversion>(-1));  // clamped to gain to dB
    EXPECT_EQ(converter.conversion(), Conversion::kGainToDb);
    converter.setInput(&bad);
    const std::vector<float> out = runCycle(env, converter, 4);
    EXPECT_EQ(out[0], -180.0f);
    EXPECT_NEAR(out[1], largestDb, 1e-3f);
    EXPECT_NEAR(out[2], largestDb, 1e-3f);
    EXPECT_EQ(out[3], -180.0f);
    converter.conversion() = static_cast<Conversion>(9);
    EXPECT_EQ(converter.conversion(), Conversion::kDbToReduction);
}

}  // namespace
}  // namespace tessel
