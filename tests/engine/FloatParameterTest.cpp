#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/FloatParameter.h"
#include "engine/FloatParameterBus.h"
#include "engine/FloatParameterSource.h"
#include "engine/wave/Environment.h"

namespace tessel {
namespace {

/// Runs one cycle that pulls the source and returns a copy of its block.
std::vector<float> cycle(wave::Environment& env, wave::Producer& source, int32_t frames,
                         bool* constant = nullptr) {
    env.beginCycle();
    wave::BasicBlock<float>* b = source.pull(frames);
    std::vector<float> out(b->data(), b->data() + frames);
    if (constant != nullptr) *constant = b->isConstant();
    env.advance(frames, 0);
    return out;
}

/// Number of samples a ramp from the current value takes, measured on the block stream.
int32_t measureRampSamples(wave::Environment& env, FloatParameterSource& source, float to) {
    source.assign(to);
    int32_t samples = 0;
    for (int guard = 0; guard < 10000; ++guard) {
        bool constant = false;
        const std::vector<float> b = cycle(env, source, 64, &constant);
        if (constant) return samples;
        for (float v : b) {
            if (v == source.parameter().target()) return samples;
            ++samples;
        }
    }
    return -1;
}

TEST(FloatParameter, ConstructionLimitsAndClamping) {
    wave::Environment env(64, true);
    FloatParameter p(&env, 3.0f);
    EXPECT_EQ(p.minimum(), 0.0f);
    EXPECT_EQ(p.maximum(), 3.0f);
    FloatParameter q(&env, -2.0f);
    EXPECT_EQ(q.minimum(), -2.0f);
    EXPECT_EQ(q.maximum(), 1.0f);

    p.setLimits(0.0f, 1.0f);
    EXPECT_EQ(p.target(), 1.0f) << "new limits re-clamp the target";
    p.setValue(2.0f, 30.0f);
    EXPECT_FALSE(p.isRamping()) << "2.0 clamps to the target 1.0 before the comparison: no change";
    p.setValue(std::numeric_limits<float>::infinity(), 10.0f);
    EXPECT_FALSE(p.isRamping()) << "infinity clamps to the current target: no change";
    p.setValue(-std::numeric_limits<float>::infinity(), 0.0f);
    EXPECT_EQ(p.target(), 0.0f);
    p.setValue(std::numeric_limits<float>::quiet_NaN(), 0.0f);
    EXPECT_EQ(p.target(), 0.0f) << "NaN is ignored";
    FloatParameter r(&env, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(r.target(), 0.0f);
}

TEST(FloatParameter, FirstValueJumpsAndAutomaticRampTimesFollowTheChangeSize) {
    wave::Environment env(64, true);
    env.setSampleRate(44100.0f);
    FloatParameterSource source(&env, 0.0f);
    source.assign(0.7f);
    bool constant = false;
    std::vector<float> b = cycle(env, source, 64, &constant);
    EXPECT_TRUE(constant) << "the first change jumps, however large";
    EXPECT_EQ(b[0], 0.7f);

    // Full-range change while running: 20 ms = 882 samples.
    source.parameter().setValue(0.0f, 0.0f);
    cycle(env, source, 64);
    EXPECT_EQ(measureRampSamples(env, source, 1.0f), 882);
    // 1 % of the range: s = 0.29, time = 20 + 130 * 0.9344 = 141.47 ms = 6238 samples.
    EXPECT_EQ(source.parameter().rampLength(), 882);
    source.assign(0.99f);
    EXPECT_EQ(source.parameter().rampLength(),
              static_cast<int32_t>((20.0f + 130.0f * 0.29f * 0.29f * 11.111111f) * 44.1f));
    EXPECT_NEAR(source.parameter().rampLength() / 44.1, 141.5, 0.05);
    // 30 % or more of the range takes the minimum time.
    cycle(env, source, 64);
    source.assign(0.5f);
    EXPECT_EQ(source.parameter().rampLength(), 882);
}

TEST(FloatParameter, ExplicitTimesAndTheRampShape) {
    wave::Environment env(256, true);
    FloatParameterSource source(&env, 0.0f);
    cycle(env, source, 256);
    source.parameter().setValue(1.0f, 50.0f);
    EXPECT_EQ(source.parameter().rampLength(), 2205) << "50 ms at 44100 Hz";
    std::vector<float> all;
    for (int i = 0; i < 10; ++i) {
        const std::vector<float> b = cycle(env, source, 256);
        all.insert(all.end(), b.begin(), b.end());
    }
    for (int32_t i = 0; i < 2205; ++i) {
        ASSERT_NEAR(all[static_cast<std::size_t>(i)], static_cast<float>(i) / 2205.0f, 1e-6f) << i;
    }
    for (std::size_t i = 2205; i < all.size(); ++i)
        ASSERT_EQ(all[i], 1.0f);
    // A change in the middle of a ramp starts from where the ramp is.
    source.parameter().setValue(0.0f, 10.0f);
    cycle(env, source, 100);
    source.parameter().setValue(1.0f, 10.0f);
    const std::vector<float> b = cycle(env, source, 4);
    EXPECT_NEAR(b[0], 1.0f - 100.0f / 441.0f, 1e-5f) << "continues from the current ramp value";
}

TEST(FloatParameter, RampKeepsTimeOverCyclesNobodyPulled) {
    wave::Environment env(100, true);
    FloatParameterSource source(&env, 0.0f);
    cycle(env, source, 100);
    source.parameter().setValue(1.0f, 1000.0f * 1000.0f / 44100.0f);  // 1000 samples
    EXPECT_EQ(source.parameter().rampLength(), 1000);
    cycle(env, source, 100);
    for (int i = 0; i < 3; ++i) {  // 300 samples nobody consumes
        env.beginCycle();
        env.advance(100, 0);
    }
    const std::vector<float> b = cycle(env, source, 100);
    EXPECT_NEAR(b[0], 0.4f, 1e-6f) << "the ramp moved on while unpulled";
    // A change made after cycles without a pull is not continuous: automatic time jumps.
    for (int i = 0; i < 2; ++i) {
        env.beginCycle();
        env.advance(100, 0);
    }
    source.assign(0.0f);
    EXPECT_FALSE(source.parameter().isRamping());
}

TEST(FloatParameter, ResetFinishesRampsAndMakesTheNextChangeJump) {
    wave::Environment env(64, true);
    FloatParameterSource source(&env, 0.0f);
    cycle(env, source, 64);
    source.parameter().setValue(1.0f, 100.0f);
    cycle(env, source, 64);
    env.reset(wave::Environment::kResetPositionOnly);
    bool constant = false;
    std::vector<float> b = cycle(env, source, 64, &constant);
    EXPECT_TRUE(constant);
    EXPECT_EQ(b[0], 1.0f) << "a running ramp finishes at once after a reset";
    env.reset(wave::Environment::kResetAttached);
    source.assign(0.2f);
    EXPECT_FALSE(source.parameter().isRamping()) << "the first change after a reset jumps";
}

TEST(FloatParameter, WrapPeriodTakesTheShorterWayRound) {
    wave::Environment env(64, true);
    FloatParameterSource source(&env, 0.0f);
    source.parameter().setLimits(-360.0f, 720.0f);
    source.parameter().setWrapPeriod(360.0f);
    source.parameter().setValue(350.0f, 0.0f);
    cycle(env, source, 64);
    source.parameter().setValue(10.0f, 64.0f * 1000.0f / 44100.0f);  // 64 samples
    const std::vector<float> b = cycle(env, source, 64);
    // 350 degrees to 10 degrees: up through 360 = 0, i.e. from -10 to 10, never through 180.
    EXPECT_NEAR(b[0], -10.0f, 1e-4f);
    EXPECT_NEAR(b[32], 0.0f, 1e-4f);
    for (std::size_t i = 1; i < b.size(); ++i)
        ASSERT_GT(b[i], b[i - 1]);
    EXPECT_EQ(cycle(env, source, 64)[0], 10.0f);
}

TEST(FloatParameter, SettledControlIsAConstantBlockOfTheTarget) {
    wave::Environment env(64, true);
    FloatParameterSource source(&env, 0.25f);
    bool constant = false;
    for (int i = 0; i < 3; ++i) {
        const std::vector<float> b = cycle(env, source, 16 + 16 * i, &constant);
        EXPECT_TRUE(constant);
        for (float v : b)
            ASSERT_EQ(v, 0.25f) << "every sample holds the value, even as frames grow";
    }
    EXPECT_EQ(source.outputBlock(), &source.parameter().block()) << "no copy";
}

TEST(FloatParameterBus, ForwardersShareOneSmoothedBlock) {
    wave::Environment env(64, true);
    FloatParameterBus bus(&env, 0.0f);
    FloatParameterBusForwarder a(&env, &bus), b(&env, &bus);
    env.beginCycle();
    EXPECT_EQ(a.pull(64), b.pull(64));
    EXPECT_EQ(a.outputBlock(), &bus.parameter().block());
    env.advance(64, 0);
    bus.assign(1.0f);
    env.beginCycle();
    EXPECT_FALSE(a.pull(64)->isConstant()) << "continuous change through the bus ramps";
    EXPECT_EQ(b.pull(64), a.outputBlock());
    env.advance(64, 0);
}

}  // namespace
}  // namespace tessel
