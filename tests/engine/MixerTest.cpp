// The smoothed Mixer and the StaticMixer.

#include "engine/Mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "TestSignals.h"
#include "engine/StaticMixer.h"

namespace tessel {
namespace {

using Operation = Mixer::Operation;
using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 64;

// Period-4 inputs: first, and second at gain 0.5 (terms {0.125, 0.25, -2, 0}), or the non-finite
// {NaN, inf, -inf, NaN} at gain 1. Expected outputs worked out by hand from the operation table.
const std::vector<float> kFirst = {0.5f, -0.25f, 2.0f, 0.0f};
const std::vector<float> kSecond = {0.25f, 0.5f, -4.0f, 0.0f};
const std::tuple<Operation, std::array<float, 4>, std::array<float, 4>> kOperations[] = {
    {Operation::kAdd, {0.625f, 0.0f, 0.0f, 0.0f}, {kNaN, kInf, -kInf, kNaN}},
    {Operation::kSubtract, {0.375f, -0.5f, 4.0f, 0.0f}, {kNaN, -kInf, kInf, kNaN}},
    {Operation::kMaxMagnitude, {0.5f, 0.25f, 2.0f, 0.0f}, {0.5f, kInf, kInf, 0.0f}},
    {Operation::kMultiply, {0.0625f, -0.0625f, -4.0f, 0.0f}, {kNaN, -kInf, -kInf, kNaN}},
    {Operation::kDivideClamped, {1.0f, 0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.0f}},
    {Operation::kRatio, {4.0f, 4e-9f, 1.0f, 1.0f}, {5e8f, 0.0f, 0.0f, 1.0f}},
    {Operation::kPeak, {0.5f, -0.25f, 2.0f, 0.0f}, {0.5f, -0.25f, 2.0f, 0.0f}},
    {Operation::kMax, {0.5f, 0.25f, 2.0f, 0.0f}, {0.5f, kInf, 2.0f, 0.0f}},
    {Operation::kMagnitude, {0.125f, 0.25f, 2.0f, 0.0f}, {kNaN, kInf, kInf, kNaN}},
    // Out of range: clamped to the first and the last operation.
    {static_cast<Operation>(-7), {0.625f, 0.0f, 0.0f, 0.0f}, {kNaN, kInf, -kInf, kNaN}},
    {static_cast<Operation>(42), {0.125f, 0.25f, 2.0f, 0.0f}, {kNaN, kInf, kInf, kNaN}},
};

struct MixerTest : ::testing::Test {
    wave::Environment env{256, true};
    PatternSource first{&env, kFirst};
    PatternSource second{&env, kSecond};
};

TEST_F(MixerTest, EveryOperationOnVaryingNonFiniteAndConstantInputs) {
    PatternSource bad(&env, {kNaN, kInf, -kInf, kNaN});
    ConstantSource a(&env, 0.0f);
    ConstantSource b(&env, 0.0f);
    for (const auto& [op, finite, nonFinite] : kOperations) {
        SCOPED_TRACE(static_cast<int>(op));
        Mixer mixer(&env);
        mixer.addInput(&first);
        mixer.addInput(&bad);
        mixer.operation() = op;
        const bool peak = mixer.operation() == Operation::kPeak;
        for (const auto* expected : {&nonFinite, &finite}) {
            const std::vector<float> out = runCycle(env, mixer, kFrames);
            EXPECT_FALSE(mixer.outputBlock()->isConstant());
            for (int32_t i = 0; i < kFrames; ++i)  // cycles start at multiples of 4
                ASSERT_TRUE(same(out[i], (*expected)[i % 4])) << i << ": " << out[i];
            EXPECT_EQ(mixer.peak(), peak ? kInf : 0.0f);  // NaN ignored, infinity held
            mixer.setInput(1, &second);
            mixer.inputGain(1)->parameter().setValue(0.5f, 0.0f);
        }
        // Constant inputs: one value computed once, equal to the per-sample result; the peak,
        // reset first, follows them too.
        mixer.reset();
        mixer.setInput(0, &a);
        mixer.setInput(1, &b);
        for (std::size_t k = 0; k < 4; ++k) {
            a.setValue(kFirst[k]);
            b.setValue(kSecond[k]);
            mixer.setStatic(k % 2 == 0);  // no effect at non-zero gains
            EXPECT_FLOAT_EQ(runCycle(env, mixer, kFrames)[kFrames - 1], finite[k]) << k;
            EXPECT_TRUE(mixer.outputBlock()->isConstant());
        }
        EXPECT_EQ(mixer.peak(), peak ? 2.0f : 0.0f);
    }
}

TEST_F(MixerTest, SilenceAndASingleUnityInputCostNothing) {
    Mixer mixer(&env, 3);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());  // nothing connected
    mixer.setInput(1, &second);  // inputs 0 and 2 stay absent and are skipped
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], second.outputBlock());

    // Static mode drops inputs settled at gain 0 without pulling them, even where the ordinary
    // mode would multiply by them.
    mixer.setInput(0, &first);
    mixer.operation() = Operation::kMultiply;
    mixer.inputGain(1)->parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(runCycle(env, mixer, kFrames), std::vector<float>(kFrames, 0.0f));
    mixer.setStatic(true);
    const int pulls = second.calls;
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], first.outputBlock());
    EXPECT_EQ(second.calls, pulls);
    mixer.inputGain(0)->parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());
}

TEST_F(MixerTest, GainsStayWithinPlusMinusOneAndRampPerSample) {
    Mixer mixer(&env, -2);
    EXPECT_EQ(mixer.inputCount(), 0);
    mixer.addInput(&first);
    mixer.addInput(&second);
    mixer.inputGain(1)->parameter().setValue(-1.0f, 0.0f);  // 0..1 until widened: 0
    EXPECT_EQ(runCycle(env, mixer, kFrames)[2], 2.0f);
    mixer.setInputGainLimits(1, -5.0f, 5.0f);
    mixer.inputGain(1)->parameter().setValue(-3.0f, 10.0f);  // to -1 over 441 samples
    for (int32_t n = 0; n < 512; n += kFrames) {
        const std::vector<float> out = runCycle(env, mixer, kFrames);
        for (int32_t i = 0; i < kFrames; ++i) {
            const float g = -std::min((n + i) / 441.0f, 1.0f);
            ASSERT_NEAR(out[i], kFirst[i % 4] + g * kSecond[i % 4], 1e-5f) << n + i;
        }
    }
}

TEST(StaticMixer, SumsGainWeightedInputsFoldingConstantOnes) {
    wave::Environment env(256, true);
    PatternSource a(&env, {0.5f, -1.0f, 0.25f});
    PatternSource b(&env, {1.0f, 2.0f, -3.0f, 4.0f, 0.0f});
    ConstantSource c(&env, 0.75f);
    // Both orders, so that the first and a further varying input each come at unity and scaled.
    for (bool scaledFirst : {true, false}) {
        StaticMixer mixer(&env);
        mixer.addInput(scaledFirst ? &a : &b, scaledFirst ? 0.5f : 1.0f);
        mixer.addInput(&c, 2.0f);
        mixer.addInput(nullptr, 3.0f);
        mixer.addInput(scaledFirst ? &b : &a, scaledFirst ? 1.0f : 0.5f);
        const int64_t start = env.samplePosition();
        const std::vector<float> out = runCycle(env, mixer, kFrames);
        EXPECT_FALSE(mixer.outputBlock()->isConstant());
        for (int32_t i = 0; i < kFrames; ++i)
            ASSERT_FLOAT_EQ(out[i], 0.5f * a.at(start + i) + 1.5f + b.at(start + i)) << i;
    }
    ConstantSource d(&env, -0.25f);
    StaticMixer constant(&env);
    constant.addInput(&c);
    constant.addInput(&d, 4.0f);
    EXPECT_EQ(runCycle(env, constant, kFrames)[kFrames - 1], -0.25f);
    EXPECT_TRUE(constant.outputBlock()->isConstant());
}

TEST(StaticMixer, SilenceAndUnityCostNothingAndZeroGainsKeepNonFiniteValuesOut) {
    wave::Environment env(256, true);
    PatternSource bad(&env, {kNaN, kInf});
    PatternSource good(&env, {1.0f, 2.0f});
    StaticMixer mixer(&env);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());
    mixer.addInput(&bad, 0.0f);
    mixer.addInput(&good, 1.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], good.outputBlock());
    EXPECT_EQ(bad.calls, 0);  // zero gain: never pulled
    mixer.setGain(1, 2.0f);
    EXPECT_EQ(runCycle(env, mixer, 2), (std::vector<float>{2.0f, 4.0f}));
    mixer.setGain(0, 0.5f);  // now it contributes, by IEEE arithmetic
    const std::vector<float> out = runCycle(env, mixer, 2);
    EXPECT_TRUE(std::isnan(out[0]) && out[1] == kInf);
    mixer.setGain(0, 1e-8f);  // within the float tolerance of 0
    mixer.setGain(1, 0.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());
}

}  // namespace
}  // namespace tessel
