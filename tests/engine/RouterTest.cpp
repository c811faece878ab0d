#include "engine/Router.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TestSignals.h"

namespace tessel {
namespace {

using testing::ConstantSource;
using testing::PatternSource;
using testing::runCycle;
using testing::skipCycle;

constexpr int32_t kFrames = 64;
constexpr int32_t kFadeSamples = 882;  // 20 ms at 44.1 kHz

struct RouterFixture : ::testing::Test {
    RouterFixture() {
        router.addInput(&a);
        router.addInput(&b);
    }

    // Runs cycles until at least `samples` samples have been produced and returns them.
    std::vector<float> render(int32_t samples) {
        std::vector<float> all;
        while (static_cast<int32_t>(all.size()) < samples) {
            const std::vector<float> out = runCycle(env, router, kFrames);
            all.insert(all.end(), out.begin(), out.end());
        }
        return all;
    }

    // The block the router outputs in one cycle (valid until the next cycle).
    const wave::BasicBlock<float>* pullOnce() {
        env.beginCycle();
        const wave::BasicBlock<float>* out = router.pull(kFrames);
        env.advance(kFrames, 0);
        return out;
    }

    wave::Environment env{256, true};
    ConstantSource a{&env, 1.0f};
    ConstantSource b{&env, 3.0f};
    Router router{&env};
};

TEST_F(RouterFixture, CrossfadesLinearlyOverTheSwitchTimeThenPassesThrough) {
    EXPECT_EQ(pullOnce(), a.outputBlock());
    EXPECT_EQ(b.processCount(), 0);  // weight settled at 0: never pulled
    router.selectedInput() = 1;
    const std::vector<float> out = render(kFadeSamples + kFrames);
    for (int32_t i = 0; i < kFadeSamples; ++i) {
        const float w = static_cast<float>(i) / kFadeSamples;
        ASSERT_NEAR(out[i], 1.0f * (1.0f - w) + 3.0f * w, 5e-6f) << i;
    }
    for (std::size_t i = kFadeSamples; i < out.size(); ++i)
        ASSERT_EQ(out[i], 3.0f) << i;
    EXPECT_EQ(pullOnce(), b.outputBlock());
    EXPECT_EQ(router.passThroughInput(), 1);
    const int pulls = a.processCount();
    render(4 * kFrames);
    EXPECT_EQ(a.processCount(), pulls);

    router.switchTimeMs() = 0.0f;  // immediate
    router.selectedInput() = 0;
    EXPECT_EQ(pullOnce(), a.outputBlock());
}

TEST_F(RouterFixture, FadeKeepsTimeWhileNotPulledAndResetFinishesIt) {
    render(kFrames);
    router.selectedInput() = 1;
    for (int c = 0; c < 7; ++c)
        skipCycle(env, 63);  // 441 samples: half of the fade
    const std::vector<float> out = runCycle(env, router, 4);
    EXPECT_NEAR(out[0], 2.0f, 1e-5f);  // w = 0.5
    EXPECT_NEAR(out[3], 1.0f + 2.0f * 444.0f / kFadeSamples, 1e-5f);

    router.selectedInput() = 0;
    render(kFrames);
    env.reset(wave::Environment::kResetAll);
    EXPECT_EQ(pullOnce(), a.outputBlock());
}

TEST_F(RouterFixture, ReselectingMidFadeTurnsBackWithoutAJump) {
    render(kFrames);
    router.selectedInput() = 1;
    const std::vector<float> forward = render(7 * kFrames);
    router.selectedInput() = 0;
    const std::vector<float> back = render(kFrames);
    // The reverse fade starts where the forward one stood and heads back towards input 0.
    EXPECT_NEAR(back[0], forward.back() + 2.0f / kFadeSamples, 1e-4f);
    EXPECT_LT(back[kFrames - 1], back[0]);
    EXPECT_EQ(render(kFadeSamples).back(), 1.0f);
    EXPECT_EQ(router.passThroughInput(), 0);
}

TEST_F(RouterFixture, OutOfRangeSettingsAreClamped) {
    router.selectedInput() = 7;
    EXPECT_EQ(router.selectedInput(), 1);
    router.selectedInput() = -3;
    EXPECT_EQ(router.selectedInput(), 0);
    router.switchTimeMs() = -5.0f;
    EXPECT_EQ(router.switchTimeMs(), 0.0f);
    router.switchTimeMs() = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(router.switchTimeMs(), 0.0f);

    Router empty(&env);
    empty.selectedInput() = 2;
    EXPECT_EQ(empty.selectedInput(), 0);
    env.beginCycle();
    EXPECT_EQ(empty.pull(kFrames), env.zeroBlock());
    env.advance(kFrames, 0);
    empty.addInput(nullptr);  // the selected slot, unconnected: silence at weight 1
    EXPECT_EQ(empty.weight(0)->target(), 1.0f);
    env.beginCycle();
    EXPECT_EQ(empty.pull(kFrames), env.zeroBlock());
    env.advance(kFrames, 0);
}

TEST_F(RouterFixture, NonFiniteInputsLeakOnlyWhileTheirWeightIsOpen) {
    PatternSource bad(&env, {std::numeric_limits<float>::quiet_NaN(), 0.0f});
    router.setInput(1, &bad);
    for (float v : render(4 * kFrames))
        ASSERT_TRUE(std::isfinite(v));
    router.selectedInput() = 1;
    EXPECT_TRUE(std::isnan(render(kFrames)[0]));  // NaN * 0 is NaN: multiplied into the sum
    render(kFadeSamples);
    EXPECT_EQ(pullOnce(), bad.outputBlock());  // passed on untouched
}

}  // namespace
}  // namespace tessel
