#include "engine/StaticMixer.h"

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

struct StaticMixerFixture : ::testing::Test {
    wave::Environment env{256, true};
    PatternSource a{&env, {0.5f, -1.0f, 0.25f}};
    PatternSource b{&env, {1.0f, 2.0f, -3.0f, 4.0f, 0.0f}};
    ConstantSource c{&env, 0.75f};
};

TEST_F(StaticMixerFixture, SumsGainWeightedInputsFoldingConstantOnes) {
    StaticMixer mixer(&env);
    mixer.addInput(&a, 0.5f);
    mixer.addInput(&c, 2.0f);
    mixer.addInput(&b);  // unity: added without multiplying
    mixer.addInput(nullptr, 3.0f);
    const int64_t start = env.samplePosition();
    const std::vector<float> out = runCycle(env, mixer, kFrames);
    EXPECT_FALSE(mixer.outputBlock()->isConstant());
    for (int32_t i = 0; i < kFrames; ++i) {
        EXPECT_FLOAT_EQ(out[i], 0.5f * a.at(start + i) + 1.5f + b.at(start + i)) << i;
    }

    ConstantSource d(&env, -0.25f);
    StaticMixer constant(&env);
    constant.addInput(&c);
    constant.addInput(&d, 4.0f);
    EXPECT_EQ(runCycle(env, constant, kFrames)[kFrames - 1], -0.25f);
    EXPECT_TRUE(constant.outputBlock()->isConstant());
}

TEST_F(StaticMixerFixture, SilenceAndASingleUnityInputCostNothing) {
    StaticMixer mixer(&env);
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), env.zeroBlock());
    env.advance(kFrames, 0);

    mixer.addInput(&a, 0.0f);
    mixer.addInput(&b, 1.0f);
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), b.outputBlock());
    env.advance(kFrames, 0);
    EXPECT_EQ(a.processCount(), 0);  // zero gain: never pulled

    mixer.setGain(1, 1e-8f);  // within the float tolerance of 0
    env.beginCycle();
    EXPECT_EQ(mixer.pull(kFrames), env.zeroBlock());
    env.advance(kFrames, 0);
}

TEST_F(StaticMixerFixture, NonFiniteValuesReachTheSumOnlyFromContributingInputs) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    PatternSource bad(&env, {nan, inf});
    StaticMixer mixer(&env);
    mixer.addInput(&bad, 0.0f);
    mixer.addInput(&a, 2.0f);
    for (float v : runCycle(env, mixer, kFrames))
        EXPECT_TRUE(std::isfinite(v));
    mixer.setGain(0, 0.5f);
    const std::vector<float> out = runCycle(env, mixer, 2);  // starts on an even position
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_EQ(out[1], inf);
}

}  // namespace
}  // namespace tessel
