// The gain stage (VolumeFilter) and the balance law of level/pan controls.

#include "engine/VolumeFilter.h"

#include <gtest/gtest.h>

#include <tuple>

#include "TestSignals.h"
#include "engine/Balance.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 64;

struct Muted final : VolumeFilter::MuteCondition {
    bool isMuted() const noexcept override { return muted; }
    bool muted = false;
};

TEST(VolumeFilter, UnityPassesTheInputBlockOnAndSilenceSkipsIt) {
    wave::Environment env(256, true);
    PatternSource input(&env, {kNaN, kInf, -kInf, 1.0f});  // passed on untouched or dropped
    ConstantSource second(&env, 1.0f);
    VolumeFilter volume(&env);
    volume.setInput(&input);
    auto pull = [&] { return pullCycle(env, kFrames, {&volume})[0]; };
    EXPECT_EQ(pull(), input.outputBlock());
    volume.setSecondGain(&second);
    EXPECT_EQ(pull(), input.outputBlock());

    // Mute, a gain settled at 0 and a second gain settled at 0 output the zero block; the first
    // two do not even pull the input.
    const int pulls = input.calls;
    Muted mute;
    mute.muted = true;
    volume.setMuteCondition(&mute);
    EXPECT_EQ(pull(), env.zeroBlock());
    mute.muted = false;
    volume.gain().parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pull(), env.zeroBlock());
    EXPECT_EQ(input.calls, pulls);
    volume.gain().parameter().setValue(1.0f, 0.0f);
    second.setValue(0.0f);
    EXPECT_EQ(pull(), env.zeroBlock());
}

TEST(VolumeFilter, GainsMultiplyEverySampleWhetherConstantOrRamping) {
    wave::Environment env(256, true);
    PatternSource input(&env, {0.5f, -1.0f, 0.25f, 2.0f, -0.75f});
    PatternSource second(&env, {0.0f, 1.0f, -4.0f});
    for (bool ramp : {false, true}) {
        for (wave::Producer* g2 : std::initializer_list<wave::Producer*>{nullptr, &second}) {
            VolumeFilter volume(&env, ramp ? 0.0f : 0.5f);
            volume.setInput(&input);
            volume.setSecondGain(g2);
            if (ramp) {
                runCycle(env, volume, kFrames);                   // the gain has now been used,
                volume.gain().parameter().setValue(1.0f, 10.0f);  // so this ramps over 441 samples
            }
            const int64_t start = env.samplePosition();
            const std::vector<float> out = runCycle(env, volume, kFrames);
            EXPECT_FALSE(volume.outputBlock()->isConstant());
            for (int32_t i = 0; i < kFrames; ++i) {
                const float g = (ramp ? i / 441.0f : 0.5f) * (g2 ? second.at(start + i) : 1.0f);
                ASSERT_NEAR(out[i], input.at(start + i) * g, 1e-6f) << ramp << " " << i;
            }
        }
    }
    // Constant operands: one value computed once, multiplied through even when not finite.
    ConstantSource constantIn(&env, 0.8f);
    ConstantSource constantSecond(&env, -0.5f);
    VolumeFilter volume(&env, 0.5f);
    volume.setInput(&constantIn);
    volume.setSecondGain(&constantSecond);
    for (auto [in, g2, expected] : {std::tuple{0.8f, -0.5f, -0.2f}, std::tuple{kInf, 0.5f, kInf},
                                    std::tuple{0.0f, kInf, kNaN}, std::tuple{kNaN, 2.0f, kNaN}}) {
        constantIn.setValue(in);
        constantSecond.setValue(g2);
        const auto* out = pullCycle(env, kFrames, {&volume})[0];
        EXPECT_TRUE(out->isConstant());
        EXPECT_TRUE(same(out->data()[kFrames - 1], expected)) << in << " " << g2;
    }
    volume.setMaximumGain(4.0f);  // the gain is limited to 0..maximum
    volume.gain().parameter().setValue(10.0f, 0.0f);
    EXPECT_EQ(volume.gain().parameter().target(), 4.0f);
}

TEST(Balance, PanAttenuatesTheOppositeChannelLinearlyAndNeverRaisesEither) {
    const float cases[][4] = {
        // level, pan, left, right
        {0.8f, 0.0f, 0.8f, 0.8f},   {0.8f, 1.0f, 0.0f, 0.8f},  {0.8f, -1.0f, 0.8f, 0.0f},
        {1.0f, 0.25f, 0.75f, 1.0f}, {2.0f, -0.5f, 2.0f, 1.0f}, {0.5f, 3.0f, 0.0f, 0.5f},
        {0.5f, -7.0f, 0.5f, 0.0f},  {0.5f, kNaN, 0.5f, 0.5f},  // clamped to +-1; NaN: centre
    };
    for (const auto& c : cases) {
        const BalanceGains g = balanceGains(c[0], c[1]);
        EXPECT_FLOAT_EQ(g.leftLinear, c[2]) << c[0] << " " << c[1];
        EXPECT_FLOAT_EQ(g.rightLinear, c[3]) << c[0] << " " << c[1];
    }
}

}  // namespace
}  // namespace tessel
