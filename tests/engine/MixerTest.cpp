#include "engine/Mixer.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>

#include "TestSignals.h"

namespace tessel {
namespace {

using Operation = Mixer::Operation;
using testing::ConstantSource;
using testing::PatternSource;
using testing::runCycle;

constexpr int32_t kFrames = 64;

// Two inputs of period 4; the second enters at gain 0.5, so its term t is {0.125, 0.25, -2, 0}.
// Expected outputs worked out by hand from the operation table.
const std::vector<float> kFirst = {0.5f, -0.25f, 2.0f, 0.0f};
const std::vector<float> kSecond = {0.25f, 0.5f, -4.0f, 0.0f};
const std::pair<Operation, std::array<float, 4>> kCases[] = {
    {Operation::kAdd, {0.625f, 0.0f, 0.0f, 0.0f}},
    {Operation::kSubtract, {0.375f, -0.5f, 4.0f, 0.0f}},
    {Operation::kMaxMagnitude, {0.5f, 0.25f, 2.0f, 0.0f}},
    {Operation::kMultiply, {0.0625f, -0.0625f, -4.0f, 0.0f}},
    {Operation::kDivideClamped, {1.0f, 0.0f, 1.0f, 0.0f}},
    {Operation::kRatio, {4.0f, 4e-9f, 1.0f, 1.0f}},
    {Operation::kPeak, {0.5f, -0.25f, 2.0f, 0.0f}},
    {Operation::kMax, {0.5f, 0.25f, 2.0f, 0.0f}},
    {Operation::kMagnitude, {0.125f, 0.25f, 2.0f, 0.0f}},
};

struct MixerFixture : ::testing::Test {
    std::unique_ptr<Mixer> makeMixer(wave::Producer* a, wave::Producer* b, Operation op) {
        auto mixer = std::make_unique<Mixer>(&env);
        mixer->addInput(a);
        mixer->addInput(b);
        mixer->operation() = op;
        return mixer;
    }

    wave::Environment env{256, true};
    PatternSource first{&env, kFirst};
    PatternSource second{&env, kSecond};
};

TEST_F(MixerFixture, EveryOperationCombinesAsTabledOnVaryingAndConstantInputs) {
    for (const auto& [op, expected] : kCases) {
        SCOPED_TRACE(static_cast<int>(op));
        auto mixer = makeMixer(&first, &second, op);
        mixer->inputGain(1)->parameter().setValue(0.5f, 0.0f);
        const int64_t start = env.samplePosition();
        const std::vector<float> out = runCycle(env, *mixer, kFrames);
        EXPECT_FALSE(mixer->outputBlock()->isConstant());
        for (int32_t i = 0; i < kFrames; ++i)
            ASSERT_FLOAT_EQ(out[i], expected[(start + i) % 4]);
        if (op == Operation::kPeak) {
            EXPECT_FLOAT_EQ(mixer->peak(), 2.0f);
        }

        // Constant inputs: one value computed once, equal to the per-sample result.
        for (std::size_t k = 0; k < 4; ++k) {
            ConstantSource a(&env, kFirst[k]);
            ConstantSource b(&env, kSecond[k]);
            auto constant = makeMixer(&a, &b, op);
            constant->setStatic(k % 2 == 0);
            constant->inputGain(1)->parameter().setValue(0.5f, 0.0f);
            EXPECT_FLOAT_EQ(runCycle(env, *constant, kFrames)[kFrames - 1], expected[k]) << k;
            EXPECT_TRUE(constant->outputBlock()->isConstant());
        }
    }
}

TEST_F(MixerFixture, SilenceAndASingleUnityInputCostNothing) {
    Mixer mixer(&env, 3);
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), env.zeroBlock());  // no input connected
    env.advance(kFrames, 0);

    mixer.setInput(1, &second);  // inputs 0 and 2 stay absent and are skipped
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), second.outputBlock());
    env.advance(kFrames, 0);

    // Static mode drops inputs settled at gain 0 (they are not even pulled), even where the
    // ordinary mode would multiply by them.
    mixer.setInput(0, &first);
    mixer.operation() = Operation::kMultiply;
    mixer.inputGain(1)->parameter().setValue(0.0f, 0.0f);
    for (float v : runCycle(env, mixer, kFrames))
        EXPECT_EQ(v, 0.0f);
    mixer.setStatic(true);
    const int pulls = second.processCount();
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), first.outputBlock());
    env.advance(kFrames, 0);
    EXPECT_EQ(second.processCount(), pulls);
    mixer.inputGain(0)->parameter().setValue(0.0f, 0.0f);
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), env.zeroBlock());
    env.advance(kFrames, 0);
}

TEST_F(MixerFixture, RampingGainIsAppliedPerSampleThenSettlesToAConstant) {
    ConstantSource a(&env, 1.0f);
    ConstantSource b(&env, 3.0f);
    auto mixer = makeMixer(&a, &b, Operation::kAdd);
    mixer->inputGain(1)->parameter().setValue(0.0f, 0.0f);
    runCycle(env, *mixer, kFrames);                          // the gain has now been used,
    mixer->inputGain(1)->parameter().setValue(1.0f, 10.0f);  // so this ramps over 441 samples
    std::vector<float> all;
    for (int c = 0; c < 8; ++c) {
        const std::vector<float> out = runCycle(env, *mixer, kFrames);
        all.insert(all.end(), out.begin(), out.end());
    }
    for (int32_t i = 0; i < 441; ++i)
        ASSERT_NEAR(all[i], 1.0f + 3.0f * i / 441.0f, 1e-5f) << i;
    for (std::size_t i = 441; i < all.size(); ++i)
        ASSERT_FLOAT_EQ(all[i], 4.0f);
    EXPECT_TRUE(mixer->outputBlock()->isConstant());
}

TEST_F(MixerFixture, OutOfRangeSettingsAreClamped) {
    Mixer mixer(&env, -2);
    EXPECT_EQ(mixer.inputCount(), 0);
    mixer.inputCount() = 2;
    EXPECT_EQ(mixer.inputGain(2), nullptr);
    mixer.operation() = static_cast<Operation>(42);
    EXPECT_EQ(mixer.operation(), Operation::kMagnitude);
    mixer.operation() = static_cast<Operation>(-7);
    EXPECT_EQ(mixer.operation(), Operation::kAdd);

    // Gains are 0..1 until widened, and never beyond -1..+1: gain -1 subtracts.
    mixer.setInput(0, &first);
    mixer.setInput(1, &second);
    mixer.inputGain(1)->parameter().setValue(-1.0f, 0.0f);
    EXPECT_EQ(mixer.inputGain(1)->parameter().target(), 0.0f);
    mixer.setInputGainLimits(1, -5.0f, 5.0f);
    mixer.inputGain(1)->parameter().setValue(-3.0f, 0.0f);
    EXPECT_EQ(mixer.inputGain(1)->parameter().maximum(), 1.0f);
    const int64_t start = env.samplePosition();
    const std::vector<float> out = runCycle(env, mixer, kFrames);
    for (int32_t i = 0; i < kFrames; ++i) {
        EXPECT_FLOAT_EQ(out[i], first.at(start + i) - second.at(start + i));
    }
}

TEST_F(MixerFixture, PeakRunsAcrossCyclesUntilResetAndNonFiniteTermsFollowTheRules) {
    PatternSource quieter(&env, {0.1f, -3.0f, 0.2f, 0.0f});
    auto mixer = makeMixer(&first, &second, Operation::kPeak);
    runCycle(env, *mixer, kFrames);
    EXPECT_FLOAT_EQ(mixer->peak(), 4.0f);
    mixer->setInput(1, &quieter);
    runCycle(env, *mixer, kFrames);
    EXPECT_FLOAT_EQ(mixer->peak(), 4.0f);  // the earlier, larger peak holds
    mixer->reset();
    runCycle(env, *mixer, kFrames);
    EXPECT_FLOAT_EQ(mixer->peak(), 3.0f);

    // Against first = {0.5, -0.25, 2, 0}: arithmetic propagates NaN and infinities, comparisons
    // ignore a NaN term, operation 4 stays within 0..1, the peak takes infinity but not NaN.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    PatternSource bad(&env, {nan, inf, -inf, nan});
    mixer->reset();
    mixer->setInput(1, &bad);
    auto run = [&](Operation op) {
        mixer->operation() = op;
        return runCycle(env, *mixer, 4);  // cycles of 4 keep both patterns aligned
    };
    const std::vector<float> sum = run(Operation::kAdd);
    EXPECT_TRUE(std::isnan(sum[0]));
    EXPECT_EQ(sum[1], inf);
    EXPECT_EQ(sum[2], -inf);
    EXPECT_EQ(run(Operation::kMaxMagnitude), (std::vector<float>{0.5f, inf, inf, 0.0f}));
    for (float v : run(Operation::kDivideClamped))
        EXPECT_TRUE(v >= 0.0f && v <= 1.0f) << v;
    EXPECT_EQ(run(Operation::kPeak), kFirst);
    EXPECT_EQ(mixer->peak(), inf);
}

}  // namespace
}  // namespace tessel
