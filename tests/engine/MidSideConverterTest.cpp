#include "engine/MidSideConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "TestSignals.h"

namespace tessel {
namespace {

using Conversion = MidSideConverter::Conversion;
using testing::ConstantSource;
using testing::PatternSource;

constexpr int32_t kFrames = 64;

struct MidSideConverterFixture : ::testing::Test {
    wave::Environment env{256, true};
    PatternSource left{&env, {0.5f, -1.0f, 0.25f, 0.0f, 0.75f}};
    PatternSource right{&env, {0.5f, 1.0f, -0.5f, 0.3f}};
};

TEST_F(MidSideConverterFixture, EncodesMidAndSideDecodesThemBackOrPassesThrough) {
    MidSideConverter encoder(&env, Conversion::kLeftRightToMidSide);
    encoder.setFirstInput(&left);
    encoder.setSecondInput(&right);
    MidSideConverter decoder(&env, Conversion::kMidSideToLeftRight);
    decoder.setFirstInput(encoder.output(0));
    decoder.setSecondInput(encoder.output(1));
    for (int c = 0; c < 4; ++c) {
        const int64_t start = env.samplePosition();
        env.beginCycle();
        const wave::BasicBlock<float>* l = decoder.output(0)->pull(kFrames);
        const wave::BasicBlock<float>* r = decoder.output(1)->pull(kFrames);
        const float* mid = encoder.output(0)->outputBlock()->data();
        const float* side = encoder.output(1)->outputBlock()->data();
        EXPECT_FALSE(l->isConstant());
        for (int32_t i = 0; i < kFrames; ++i) {
            const float a = left.at(start + i);
            const float b = right.at(start + i);
            ASSERT_FLOAT_EQ(mid[i], (a + b) * 0.5f);
            ASSERT_FLOAT_EQ(side[i], (b - a) * 0.5f);
            ASSERT_NEAR(l->data()[i], a, 1e-7f);
            ASSERT_NEAR(r->data()[i], b, 1e-7f);
        }
        env.advance(kFrames, 0);
    }
    encoder.conversion() = Conversion::kNone;
    env.beginCycle();
    EXPECT_EQ(encoder.output(0)->pull(kFrames), left.outputBlock());
    EXPECT_EQ(encoder.output(1)->pull(kFrames), right.outputBlock());
    env.advance(kFrames, 0);
}

TEST_F(MidSideConverterFixture, ConstantAndNonFiniteInputs) {
    const float inf = std::numeric_limits<float>::infinity();
    ConstantSource a(&env, 0.8f);
    ConstantSource b(&env, 0.2f);
    MidSideConverter converter(&env, static_cast<Conversion>(5));  // clamped to 2
    converter.setFirstInput(&a);
    converter.setSecondInput(&b);
    for (auto [conversion, first, second] :
         {std::tuple{Conversion::kMidSideToLeftRight, 0.6f, 1.0f},
          std::tuple{Conversion::kLeftRightToMidSide, 0.5f, -0.3f}}) {
        EXPECT_EQ(converter.conversion(), conversion);
        env.beginCycle();
        const wave::BasicBlock<float>* out0 = converter.output(0)->pull(kFrames);
        const wave::BasicBlock<float>* out1 = converter.output(1)->pull(kFrames);
        EXPECT_TRUE(out0->isConstant() && out1->isConstant());
        EXPECT_FLOAT_EQ(out0->data()[kFrames - 1], first);
        EXPECT_FLOAT_EQ(out1->data()[kFrames - 1], second);
        env.advance(kFrames, 0);
        converter.conversion() = Conversion::kLeftRightToMidSide;
    }
    // Infinities propagate (inf - inf is NaN); an unconnected input is silence.
    a.setValue(inf);
    b.setValue(inf);
    env.beginCycle();
    EXPECT_EQ(converter.output(0)->pull(kFrames)->data()[0], inf);
    EXPECT_TRUE(std::isnan(converter.output(1)->pull(kFrames)->data()[0]));
    env.advance(kFrames, 0);
    converter.setFirstInput(nullptr);
    env.beginCycle();
    EXPECT_EQ(converter.output(1)->pull(kFrames)->data()[0], inf);
    env.advance(kFrames, 0);
    converter.conversion() = static_cast<Conversion>(-2);
    EXPECT_EQ(converter.conversion(), Conversion::kNone);
}

}  // namespace
}  // namespace tessel
