#include "engine/Router.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "TestSignals.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 64;
constexpr float kFadeSamples = 882.0f;  // 20 ms at 44.1 kHz

struct RouterFixture : ::testing::Test {
    RouterFixture() {
        router.addInput(&a);
        router.addInput(&b);
    }
    const wave::BasicBlock<float>* pull() { return pullCycle(env, kFrames, {&router})[0]; }

    wave::Environment env{256, true};
    ConstantSource a{&env, 1.0f};
    ConstantSource b{&env, 3.0f};
    Router router{&env};
};

TEST_F(RouterFixture, CrossfadesLinearlyOverTheSwitchTimeThenPassesThrough) {
    EXPECT_EQ(pull(), a.outputBlock());
    EXPECT_EQ(b.calls, 0);  // weight settled at 0: never pulled
    router.selectedInput() = 1;
    for (int32_t n = 0; n < 1024; n += 256) {
        const std::vector<float> out = runCycle(env, router, 256);
        for (int32_t i = 0; i < 256; ++i)
            ASSERT_NEAR(out[i], 1.0f + 2.0f * std::min((n + i) / kFadeSamples, 1.0f), 5e-6f);
    }
    EXPECT_EQ(pull(), b.outputBlock());
    const int pulls = a.calls;
    pull();
    EXPECT_EQ(a.calls, pulls);

    router.switchTimeMs() = 0.0f;  // immediate
    router.selectedInput() = 0;
    EXPECT_EQ(pull(), a.outputBlock());
}

TEST_F(RouterFixture, FadeKeepsTimeWhileNotPulledTurnsBackWithoutAJumpAndEndsOnReset) {
    pull();
    router.selectedInput() = 1;
    for (int c = 0; c < 7; ++c)
        pullCycle(env, 63, {});  // 441 samples: half of the fade
    std::vector<float> out = runCycle(env, router, 4);
    EXPECT_NEAR(out[0], 2.0f, 1e-5f);  // w = 0.5
    EXPECT_NEAR(out[3], 1.0f + 2.0f * 444.0f / kFadeSamples, 1e-5f);

    // Reselecting mid-fade heads back from where the fade stood, again over the switch time.
    router.selectedInput() = 0;
    out = runCycle(env, router, kFrames);
    const float w = 445.0f / kFadeSamples;
    EXPECT_NEAR(out[0], 1.0f + 2.0f * w, 1e-5f);
    EXPECT_NEAR(out[kFrames - 1], 1.0f + 2.0f * w * (1.0f - 63.0f / kFadeSamples), 1e-5f);
    env.reset(wave::Environment::kResetAll);
    EXPECT_EQ(pull(), a.outputBlock());
}

TEST_F(RouterFixture, ClampsSettingsMissingInputsAreSilentAndNaNLeaksOnlyWhileFaded) {
    router.selectedInput() = 7;
    EXPECT_EQ(router.selectedInput(), 1);
    router.selectedInput() = -3;
    EXPECT_EQ(router.selectedInput(), 0);
    router.switchTimeMs() = kNaN;  // negative or NaN: 0
    EXPECT_EQ(router.switchTimeMs(), 0.0f);
    Router empty(&env);
    EXPECT_EQ(pullCycle(env, kFrames, {&empty})[0], env.zeroBlock());
    empty.addInput(nullptr);  // the selected slot, unconnected
    EXPECT_EQ(pullCycle(env, kFrames, {&empty})[0], env.zeroBlock());

    PatternSource bad(&env, {kNaN, 0.0f});
    router.setInput(1, &bad);
    router.switchTimeMs() = 20.0f;
    EXPECT_EQ(pull(), a.outputBlock());  // weight 0: never touched
    router.selectedInput() = 1;
    EXPECT_TRUE(std::isnan(runCycle(env, router, kFrames)[0]));  // NaN * 0 is NaN
    for (int c = 0; c < 14; ++c)
        pull();
    EXPECT_EQ(pull(), bad.outputBlock());  // passed on untouched
}

}  // namespace
}  // namespace tessel
