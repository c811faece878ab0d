#include "engine/VolumeFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestSignals.h"

namespace tessel {
namespace {

using testing::ConstantSource;
using testing::PatternSource;
using testing::runCycle;

constexpr int32_t kFrames = 64;

struct Muted final : VolumeFilter::MuteCondition {
    bool isMuted() const noexcept override { return muted; }
    bool muted = false;
};

struct VolumeFilterFixture : ::testing::Test {
    // The block the filter outputs this cycle (valid until the next cycle).
    const wave::BasicBlock<float>* pullOnce(VolumeFilter& volume) {
        env.beginCycle();
        const wave::BasicBlock<float>* out = volume.pull(kFrames);
        env.advance(kFrames, 0);
        return out;
    }

    wave::Environment env{256, true};
    PatternSource input{&env, {0.5f, -1.0f, 0.25f, 2.0f, -0.75f}};
};

TEST_F(VolumeFilterFixture, UnityPassesTheInputBlockAndSilenceSkipsIt) {
    VolumeFilter volume(&env);
    volume.setInput(&input);
    EXPECT_EQ(pullOnce(volume), input.outputBlock());
    ConstantSource unity(&env, 1.0f);
    volume.setSecondGain(&unity);
    EXPECT_EQ(pullOnce(volume), input.outputBlock());

    // Mute, a gain settled at 0 and a second gain settled at 0 output the zero block; the first
    // two do not even pull the input.
    const int pulls = input.processCount();
    Muted mute;
    mute.muted = true;
    volume.setMuteCondition(&mute);
    EXPECT_EQ(pullOnce(volume), env.zeroBlock());
    mute.muted = false;
    volume.gain().parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pullOnce(volume), env.zeroBlock());
    EXPECT_EQ(input.processCount(), pulls);
    volume.gain().parameter().setValue(1.0f, 0.0f);
    unity.setValue(0.0f);
    EXPECT_EQ(pullOnce(volume), env.zeroBlock());
}

TEST_F(VolumeFilterFixture, GainsMultiplyEverySampleAndConstantsOnce) {
    VolumeFilter volume(&env, 0.5f);
    volume.setInput(&input);
    PatternSource second(&env, {0.0f, 1.0f, -4.0f});
    for (bool varyingSecond : {false, true}) {
        volume.setSecondGain(varyingSecond ? &second : nullptr);
        const int64_t start = env.samplePosition();
        const std::vector<float> out = runCycle(env, volume, kFrames);
        EXPECT_FALSE(volume.outputBlock()->isConstant());
        for (int32_t i = 0; i < kFrames; ++i) {
            const float g2 = varyingSecond ? second.at(start + i) : 1.0f;
            ASSERT_FLOAT_EQ(out[i], input.at(start + i) * 0.5f * g2);
        }
    }
    ConstantSource constantIn(&env, 0.8f);
    ConstantSource constantSecond(&env, -0.5f);
    volume.setInput(&constantIn);
    volume.setSecondGain(&constantSecond);
    const wave::BasicBlock<float>* out = pullOnce(volume);
    EXPECT_TRUE(out->isConstant());
    EXPECT_FLOAT_EQ(out->data()[kFrames - 1], -0.2f);

    volume.setMaximumGain(4.0f);
    volume.gain().parameter().setValue(10.0f, 0.0f);
    EXPECT_EQ(volume.gain().parameter().target(), 4.0f);
}

TEST_F(VolumeFilterFixture, RampingGainMultipliesSampleBySampleThenPassesThrough) {
    ConstantSource in(&env, 2.0f);
    VolumeFilter volume(&env, 0.0f);
    volume.setInput(&in);
    runCycle(env, volume, kFrames);                   // the gain has now been used,
    volume.gain().parameter().setValue(1.0f, 10.0f);  // so this ramps over 441 samples
    std::vector<float> all;
    for (int c = 0; c < 8; ++c) {
        const std::vector<float> out = runCycle(env, volume, kFrames);
        all.insert(all.end(), out.begin(), out.end());
    }
    for (int32_t i = 0; i < 441; ++i)
        ASSERT_NEAR(all[i], 2.0f * i / 441.0f, 1e-5f) << i;
    for (std::size_t i = 441; i < all.size(); ++i)
        ASSERT_EQ(all[i], 2.0f) << i;
    EXPECT_EQ(pullOnce(volume), in.outputBlock());
}

TEST_F(VolumeFilterFixture, NonFiniteInputIsPassedOnMultipliedOrDropped) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    PatternSource bad(&env, {nan, inf, -inf, 1.0f});
    VolumeFilter volume(&env);
    volume.setInput(&bad);
    EXPECT_EQ(pullOnce(volume), bad.outputBlock());  // unity passes them on untouched
    volume.gain().parameter().setValue(0.5f, 0.0f);
    const std::vector<float> out = runCycle(env, volume, 4);
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], inf);
    EXPECT_EQ(out[2], -inf);
    EXPECT_EQ(out[3], 0.5f);
    volume.gain().parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pullOnce(volume), env.zeroBlock());  // silence drops them
}

}  // namespace
}  // namespace tessel
