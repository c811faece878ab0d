#include "dynamics/Detector.h"

#include <gtest/gtest.h>

#include "common/AllocationCounter.h"
#include "engine/TestSignals.h"

namespace tessel {
namespace {

using testing::ConstantSource;
using testing::kInf;
using testing::kNaN;
using testing::runCycle;
using Purpose = Detector::Purpose;

struct CurveCase {
    const char* what;
    Purpose purpose;
    float thresholdDb, ratio, kneeDb, rangeDb, rangeKneeDb, levelDb, expectedDb;
};

constexpr Purpose kAbove = Purpose::kAboveThreshold;
constexpr Purpose kBelow = Purpose::kBelowThreshold;

const CurveCase kCurveCases[] = {
    {"compresses 10 dB over by half", kAbove, -20, 2, 0, 180, 0, -10, 5},
    {"no change at a hard threshold", kAbove, -20, 2, 0, 180, 0, -20, 0},
    {"no change under the threshold", kAbove, -20, 4, 0, 180, 0, -30, 0},
    {"knee lower end is 0", kAbove, -20, 2, 10, 180, 0, -25, 0},
    {"knee centre is a quarter of h", kAbove, -20, 2, 10, 180, 0, -20, 0.625f},
    {"knee upper end meets the line", kAbove, -20, 2, 10, 180, 0, -15, 2.5f},
    {"ratio 100 limits", kAbove, -20, 100, 0, 180, 0, -10, 10},
    {"range 0 means no change", kAbove, -20, 100, 0, 0, 0, 0, 0},
    {"range limits the change", kAbove, -40, 100, 0, 12, 0, 0, 12},
    {"purpose 1: above the threshold is 0", kBelow, -20, 2, 0, 180, 0, -10, 0},
    {"purpose 1: 10 dB under at ratio 2", kBelow, -20, 2, 0, 180, 0, -30, 10},
    {"purpose 1: ratio 3 doubles", kBelow, -20, 3, 0, 180, 0, -30, 20},
    {"purpose 1: range limits", kBelow, -20, 2, 0, 15, 0, -50, 15},
    {"purpose 1: knee starts at the threshold", kBelow, -20, 2, 10, 180, 0, -20, 0},
    {"purpose 1: knee middle", kBelow, -20, 2, 10, 180, 0, -25, 1.25f},
    {"purpose 1: knee end meets the line", kBelow, -20, 2, 10, 180, 0, -30, 5},
    {"range knee rounds the limit", kAbove, 0, 100, 0, 20, 12, 20, 18.5f},
    {"range knee reaches the limit", kAbove, 0, 100, 0, 20, 12, 30, 20},
    {"range knee leaves small changes", kAbove, 0, 100, 0, 20, 12, 10, 10},
    {"NaN level is no change", kAbove, -20, 4, 6, 30, 6, kNaN, 0},
    {"infinite overshoot is the full range", kAbove, -20, 4, 0, 30, 0, kInf, 30},
    {"minus infinity is no change", kAbove, -20, 4, 0, 30, 0, -kInf, 0},
    {"purpose 1: minus infinity is the full range", kBelow, -20, 4, 0, 30, 0, -kInf, 30},
};

TEST(Detector, FollowsTheCurveForConstantBlocksAndPerSampleBlocks) {
    for (const CurveCase& c : kCurveCases) {
        SCOPED_TRACE(c.what);
        for (bool flagged : {true, false}) {
            wave::Environment env(64, true);
            testing::PatternSource level(&env, {c.levelDb}, flagged);
            Detector detector(&env);
            detector.setInput(&level);
            detector.purpose() = c.purpose;
            detector.thresholdDb().setValue(c.thresholdDb, 0);
            detector.ratio().setValue(c.ratio, 0);
            detector.kneeDb().setValue(c.kneeDb, 0);
            detector.rangeDb().setValue(c.rangeDb, 0);
            detector.rangeKneeDb().setValue(c.rangeKneeDb, 0);
            const std::vector<float> out = runCycle(env, detector, 16);
            for (float g : out)
                EXPECT_NEAR(g, c.expectedDb, 1e-5f);
        }
    }
}

TEST(Detector, ConstantRatioOfOneOutputsTheZeroBlock) {
    wave::Environment env(64, true);
    ConstantSource level(&env, 0.0f);
    Detector detector(&env);
    detector.setInput(&level);
    detector.thresholdDb().setValue(-60, 0);
    env.beginCycle();
    EXPECT_EQ(detector.pull(32), env.zeroBlock());
    env.advance(32, 0);

    // A ratio moving away from 1 is computed sample by sample.
    detector.ratio().setValue(4.0f, 10.0f);
    env.beginCycle();
    const wave::BasicBlock<float>* out = detector.pull(32);
    env.advance(32, 0);
    EXPECT_NE(out, env.zeroBlock());
    EXPECT_GT(out->data()[31], out->data()[1]);
    EXPECT_GT(out->data()[1], 0.0f);
}

TEST(Detector, RampingThresholdIsFollowedPerSample) {
    wave::Environment env(64, true);
    env.setSampleRate(48000.0f);
    ConstantSource level(&env, -10.0f);
    Detector detector(&env);
    detector.setInput(&level);
    detector.ratio().setValue(100.0f, 0);
    detector.thresholdDb().setValue(0.0f, 0);
    runCycle(env, detector, 64);
    detector.thresholdDb().setValue(-20.0f, 1000.0f * 64.0f / 48000.0f);  // one block long
    const std::vector<float> out = runCycle(env, detector, 64);
    EXPECT_NEAR(out[0], 0.0f, 1e-6f);
    for (std::size_t i = 1; i < out.size(); ++i)
        EXPECT_GE(out[i], out[i - 1]);
    EXPECT_NEAR(runCycle(env, detector, 64)[0], 10.0f, 1e-5f);
}

TEST(Detector, FilterDoesNotAllocate) {
    wave::Environment env(256, true);
    testing::PatternSource level(&env, {-30.0f, -10.0f, 0.0f, kNaN, 5.0f});
    Detector detector(&env);
    detector.setInput(&level);
    detector.ratio().setValue(3.0f, 0);
    detector.kneeDb().setValue(6.0f, 0);
    detector.rangeKneeDb().setValue(6.0f, 0);
    runCycle(env, detector, 256);
    testing::AllocationScope scope;
    for (int i = 0; i < 20; ++i) {
        detector.thresholdDb().setValue(-static_cast<float>(i), 2.0f);
        env.beginCycle();
        detector.pull(256);
        env.advance(256, 0);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
