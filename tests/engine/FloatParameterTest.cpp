// Smoothed controls: limits, ramp times and shapes, time kept over unpulled cycles, resets,
// circular controls, and the shared bus.

#include "engine/FloatParameter.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/GraphRig.h"
#include "engine/FloatParameterBus.h"
#include "engine/FloatParameterSource.h"

namespace tessel {
namespace {

using testing::kInf;
using testing::kNaN;
using testing::runCycle;

struct Rig : testing::GraphRig {
    explicit Rig(int32_t block = 64, float initial = 0.0f)
        : GraphRig(block, 44100.0f), source(&env, initial) {}
    FloatParameter& control() { return source.parameter(); }
    bool constant() const { return source.outputBlock()->isConstant(); }
    /// Samples a change to `to` takes to arrive, measured on the block stream.
    int32_t rampSamples(float to) {
        source.assign(to);
        for (int32_t samples = 0; samples < 100000; samples += block) {
            const std::vector<float> b = runCycle(env, source, block);
            for (int32_t i = 0; i < block; ++i)
                if (b[i] == to) return samples + i;
        }
        return -1;
    }
    FloatParameterSource source;
};

TEST(FloatParameter, ConstructionLimitsAndClamping) {
    wave::Environment env(64, true);
    FloatParameter p(&env, 3.0f), q(&env, -2.0f), r(&env, kNaN);
    EXPECT_EQ(p.minimum(), 0.0f);  // limited to [min(x, 0), max(x, 1)]
    EXPECT_EQ(p.maximum(), 3.0f);
    EXPECT_EQ(q.minimum(), -2.0f);
    EXPECT_EQ(q.maximum(), 1.0f);
    EXPECT_EQ(r.target(), 0.0f);
    p.setLimits(0.0f, 1.0f);
    EXPECT_EQ(p.target(), 1.0f) << "new limits re-clamp the target";
    p.setValue(2.0f, 30.0f);
    EXPECT_FALSE(p.isRamping()) << "2.0 clamps to the target 1.0 before the comparison: no change";
    p.setValue(kInf, 10.0f);
    EXPECT_FALSE(p.isRamping()) << "infinity clamps to the current target: no change";
    p.setValue(-kInf, 0.0f);
    EXPECT_EQ(p.target(), 0.0f);
    p.setValue(kNaN, 0.0f);
    EXPECT_EQ(p.target(), 0.0f) << "NaN is ignored";
}

TEST(FloatParameter, FirstValueJumpsAndAutomaticRampTimesFollowTheChangeSize) {
    Rig rig;
    rig.source.assign(0.7f);
    EXPECT_EQ(runCycle(rig.env, rig.source, 64)[0], 0.7f);
    EXPECT_TRUE(rig.constant()) << "the first change jumps, however large";
    // 20 ms (882 samples) for 30 % of the range or more; below, s = 0.3 - the change adds
    // 130 ms * (s / 0.3)^2: 1 % takes 141.5 ms.
    rig.control().setValue(0.0f, 0.0f);
    runCycle(rig.env, rig.source, 64);
    EXPECT_EQ(rig.rampSamples(1.0f), 882);
    EXPECT_EQ(rig.rampSamples(0.5f), 882);
    EXPECT_NEAR(rig.rampSamples(0.51f) / 44.1, 141.5, 0.1);
}

TEST(FloatParameter, ExplicitTimesAndTheRampShape) {
    Rig rig(256);
    runCycle(rig.env, rig.source, 256);
    rig.control().setValue(1.0f, 50.0f);  // 2205 samples
    const std::vector<float> all = rig.render(rig.source, 2560);
    for (std::size_t i = 0; i < all.size(); ++i)  // linear, then exactly the target
        ASSERT_NEAR(all[i], std::min(static_cast<float>(i) / 2205.0f, 1.0f), i < 2205 ? 1e-6f : 0)
            << i;
    // A change in the middle of a ramp starts from where the ramp is.
    rig.control().setValue(0.0f, 10.0f);
    runCycle(rig.env, rig.source, 100);
    rig.control().setValue(1.0f, 10.0f);
    EXPECT_NEAR(runCycle(rig.env, rig.source, 4)[0], 1.0f - 100.0f / 441.0f, 1e-5f);
}

TEST(FloatParameter, RampKeepsTimeOverCyclesNobodyPulledAndResetsFinishIt) {
    Rig rig(100);
    runCycle(rig.env, rig.source, 100);
    rig.control().setValue(1.0f, 1000.0f * 1000.0f / 44100.0f);  // 1000 samples
    runCycle(rig.env, rig.source, 100);
    rig.idle(3);  // 300 samples nobody consumes
    EXPECT_NEAR(runCycle(rig.env, rig.source, 100)[0], 0.4f, 1e-6f) << "the ramp moved on";
    // A change after cycles without a pull is not continuous: an automatic time jumps.
    rig.idle(2);
    rig.source.assign(0.0f);
    EXPECT_FALSE(rig.control().isRamping());

    // A reset finishes a running ramp at once; the next change jumps.
    runCycle(rig.env, rig.source, 100);
    rig.control().setValue(1.0f, 100.0f);
    runCycle(rig.env, rig.source, 100);
    rig.env.reset(wave::Environment::kResetPositionOnly);
    EXPECT_EQ(runCycle(rig.env, rig.source, 100)[0], 1.0f);
    EXPECT_TRUE(rig.constant());
    rig.env.reset(wave::Environment::kResetAttached);
    rig.source.assign(0.2f);
    EXPECT_FALSE(rig.control().isRamping()) << "the first change after a reset jumps";
}

TEST(FloatParameter, WrapPeriodTakesTheShorterWayRound) {
    Rig rig;
    rig.control().setLimits(-360.0f, 720.0f);
    rig.control().setWrapPeriod(360.0f);
    rig.control().setValue(350.0f, 0.0f);
    runCycle(rig.env, rig.source, 64);
    rig.control().setValue(10.0f, 64.0f * 1000.0f / 44100.0f);  // 64 samples
    const std::vector<float> b = runCycle(rig.env, rig.source, 64);
    // 350 degrees to 10 degrees: up through 360 = 0, i.e. from -10 to 10, never through 180.
    EXPECT_NEAR(b[0], -10.0f, 1e-4f);
    EXPECT_NEAR(b[32], 0.0f, 1e-4f);
    for (std::size_t i = 1; i < b.size(); ++i)
        ASSERT_GT(b[i], b[i - 1]);
    EXPECT_EQ(runCycle(rig.env, rig.source, 64)[0], 10.0f);
}

TEST(FloatParameter, SettledControlIsAConstantBlockOfTheTargetAndBusesShareIt) {
    Rig rig(64, 0.25f);
    for (int32_t frames : {16, 32, 48}) {
        for (float v : runCycle(rig.env, rig.source, frames))
            ASSERT_EQ(v, 0.25f) << "every sample holds the value, even as frames grow";
        EXPECT_TRUE(rig.constant());
    }
    EXPECT_EQ(rig.source.outputBlock(), &rig.control().block()) << "no copy";

    FloatParameterBus bus(&rig.env, 0.0f);
    FloatParameterBusForwarder a(&rig.env, &bus), b(&rig.env, &bus);
    auto blocks = testing::pullCycle(rig.env, 64, {&a, &b});
    EXPECT_EQ(blocks[0], &bus.parameter().block());
    EXPECT_EQ(blocks[1], blocks[0]);
    bus.assign(1.0f);
    blocks = testing::pullCycle(rig.env, 64, {&a, &b});
    EXPECT_FALSE(blocks[0]->isConstant()) << "continuous change through the bus ramps";
    EXPECT_EQ(blocks[1], blocks[0]);
}

}  // namespace
}  // namespace tessel
