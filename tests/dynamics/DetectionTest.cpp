// The pieces of the band compander's detection chain: the static curve (Detector), the peak hold
// and the envelope follower (Capacitor) with its shared exponential table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "common/GraphRig.h"
#include "dynamics/Capacitor.h"
#include "dynamics/Detector.h"
#include "dynamics/PeakHold.h"

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

TEST(Detector, RatioOneIsTheZeroBlockAndMovingControlsAreFollowedPerSample) {
    testing::GraphRig rig(64);
    ConstantSource level(&rig.env, -10.0f);
    Detector detector(&rig.env);
    detector.setInput(&level);
    detector.thresholdDb().setValue(-60, 0);
    EXPECT_EQ(testing::pullCycle(rig.env, 32, {&detector})[0], rig.env.zeroBlock());
    // A ratio moving away from 1 is computed sample by sample.
    detector.ratio().setValue(4.0f, 10.0f);
    std::vector<float> out = runCycle(rig.env, detector, 32);
    EXPECT_GT(out[31], out[1]);
    EXPECT_GT(out[1], 0.0f);
    // So is a threshold ramping over one block, here to 10 dB under the level at ratio 100.
    detector.ratio().setValue(100.0f, 0);
    detector.thresholdDb().setValue(0.0f, 0);
    runCycle(rig.env, detector, 64);
    detector.thresholdDb().setValue(-20.0f, 1000.0f * 64.0f / 48000.0f);
    out = runCycle(rig.env, detector, 64);
    EXPECT_NEAR(out[0], 0.0f, 1e-6f);
    for (std::size_t i = 1; i < out.size(); ++i)
        EXPECT_GE(out[i], out[i - 1]);
    EXPECT_NEAR(runCycle(rig.env, detector, 64)[0], 10.0f, 1e-5f);
}

// The window maximum of |x| over the last H + 1 samples.
float windowMax(const std::vector<float>& x, std::size_t n, int32_t h) {
    float m = 0.0f;
    for (std::size_t k = n >= static_cast<std::size_t>(h) ? n - static_cast<std::size_t>(h) : 0;
         k <= n; ++k)
        m = std::max(m, std::fabs(x[k]));
    return m;
}

TEST(PeakHold, EqualsTheSlidingMaximumForRandomSignals) {
    // H = hold time in samples, taken per sample. Exact while H never grows by more than a
    // sample per sample (so no old peak is needed again). The 96 kHz rate reaches the node
    // through the environment's reset, which must re-size its window.
    struct Case {
        const char* what;
        float startMs, endMs, rampMs;
        int32_t frames;
        float rate;
    };
    const Case cases[] = {
        {"no hold: the magnitude", 0.0f, 0.0f, 0.0f, 21, 48000.0f},
        {"constant 1 ms", 1.0f, 1.0f, 0.0f, 64, 48000.0f},
        {"constant 10 ms, odd blocks", 10.0f, 10.0f, 0.0f, 37, 48000.0f},
        {"constant 120 ms", 120.0f, 120.0f, 0.0f, 256, 48000.0f},
        {"constant 120 ms at 96 kHz", 120.0f, 120.0f, 0.0f, 256, 96000.0f},
        {"slow ramp up", 0.0f, 15.0f, 200.0f, 64, 48000.0f},
        {"ramp down", 40.0f, 2.0f, 30.0f, 64, 48000.0f},
    };
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<float> pattern(40000);
        for (float& v : pattern)
            v = value(rng) * value(rng);  // many small values, few peaks
        testing::GraphRig rig(256, 48000.0f);
        testing::PatternSource input(&rig.env, pattern);
        PeakHold hold(&rig.env);
        hold.setInput(&input);
        rig.env.setSampleRate(c.rate);
        hold.holdTimeMs().setValue(c.startMs, 0);
        for (std::size_t n = 0; n + static_cast<std::size_t>(c.frames) < pattern.size();) {
            if (n == 4800) hold.holdTimeMs().setValue(c.endMs, c.rampMs);
            const std::vector<float> out = testing::runCycle(rig.env, hold, c.frames);
            const float* ms = hold.holdTimeMs().block().data();
            for (int32_t i = 0; i < c.frames; ++i, ++n) {
                const auto h = static_cast<int32_t>(ms[i] * c.rate * 0.001f);
                ASSERT_EQ(out[static_cast<std::size_t>(i)], windowMax(pattern, n, h)) << n;
            }
        }
    }
}

TEST(PeakHold, NaNCountsAsSilenceAndInfinityIsHeld) {
    testing::GraphRig rig(64, 48000.0f);
    testing::PatternSource input(&rig.env, {0.5f, kNaN, kInf, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f});
    PeakHold hold(&rig.env);
    hold.setInput(&input);
    hold.holdTimeMs().setValue(0.05f, 0);  // 2 samples
    EXPECT_EQ(testing::runCycle(rig.env, hold, 8),
              (std::vector<float>{0.5f, 0.5f, kInf, kInf, kInf, 0.1f, 0.1f, 0.1f}));
}

constexpr float kRate = 48000.0f;

// The share of the distance one sample covers when 90 % take `seconds`.
double coefficientFor(double seconds) {
    return 1.0 - std::exp(-2.3025851 / (seconds * kRate));
}

struct Rig : testing::GraphRig {
    Rig() : GraphRig(64, kRate) { cap.setInput(&input); }
    /// Brings the state to `value` with an instant attack, then restores the attack time.
    void jumpTo(float value) {
        const float attack = cap.attackTime().target();
        cap.attackTime().setValue(0.0f, 0);
        input.setValue(value);
        runCycle(env, cap, 8);
        cap.attackTime().setValue(attack, 0);
    }
    testing::ConstantSource input{&env, 0.0f};
    Capacitor cap{&env};
};

TEST(CapacitorStyle, TableMatchesTheExponentialAndIsSharedByAllInstances) {
    const int32_t before = Capacitor::Style::userCount();
    {
        Rig a, b;
        EXPECT_EQ(Capacitor::Style::userCount(), before + 2);
        EXPECT_EQ(a.cap.style(), b.cap.style());
        const Capacitor::Style* style = a.cap.style();
        // Linear interpolation at a step of 25/8191: relative error below h^2/8 = 1.2e-6.
        for (double x = -25.0; x <= 0.0; x += 0.0137)
            EXPECT_NEAR(style->lookup(x) / std::exp(x), 1.0, 1.3e-6) << x;
        EXPECT_EQ(style->lookup(0.0), 1.0);
        for (double clamped : {-40.0, std::nan("")})
            EXPECT_NEAR(style->lookup(clamped), std::exp(-25.0), 1e-15);
    }
    EXPECT_EQ(Capacitor::Style::userCount(), before);
}

// The first sample of a step covers the share of it that puts 90 % at the step's time: the
// attack time rising, the release time falling, stretched by the release shape for large drops
// and by the release dependency for small ones.
TEST(Capacitor, StepsTakeTheirAttackOrShapedReleaseTime) {
    constexpr double kRelease = 0.05;
    const struct {
        const char* what;
        float attackS, shape, dependencyS, from, to;
        double expectedSeconds;
    } cases[] = {
        {"attack 10 ms", 0.01f, 1.0f, 0.0f, 0.0f, 1.0f, 0.01},
        {"attack 1 ms", 0.001f, 1.0f, 0.0f, 0.0f, 20.0f, 0.001},
        {"plain release", 0.0005f, 1.0f, 0.0f, 10.0f, 0.0f, kRelease},
        {"shape 0.3, 10 dB drop", 0.0005f, 0.3f, 0.0f, 10.0f, 0.0f, kRelease},
        {"shape 0.3, 20 dB drop", 0.0005f, 0.3f, 0.0f, 20.0f, 0.0f, kRelease * 1.7},
        {"shape 0.3, 40 dB drop", 0.0005f, 0.3f, 0.0f, 40.0f, 0.0f, kRelease * 3.1},
        {"dependency, 1 dB drop", 0.0005f, 1.0f, 0.2f, 1.0f, 0.0f, kRelease + std::exp(-1.0) * 0.2},
        {"dependency, 5 dB drop", 0.0005f, 1.0f, 0.2f, 5.0f, 0.0f, kRelease + std::exp(-5.0) * 0.2},
        {"dependency past 10 dB", 0.0005f, 1.0f, 0.2f, 12.0f, 0.0f, kRelease},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig r;
        r.cap.attackTime().setValue(c.attackS, 0);
        r.cap.releaseTime().parameter().setValue(static_cast<float>(kRelease), 0);
        r.cap.releaseShape().setValue(c.shape, 0);
        r.cap.releaseDependency().setValue(c.dependencyS, 0);
        r.jumpTo(c.from);
        r.input.setValue(c.to);
        runCycle(r.env, r.cap, 1);
        EXPECT_EQ(r.cap.inRelease(), c.to < c.from);
        const double covered = (r.cap.state() - c.from) / (c.to - c.from);
        // Times are carried in single precision samples: 1e-6 relative.
        EXPECT_NEAR(covered / coefficientFor(c.expectedSeconds), 1.0, 1e-5);
    }
}

TEST(Capacitor, CachedDependencyLookupTracksAWholeRelease) {
    // The table value is refreshed every 16 samples or when the drop moved noticeably; over a
    // whole release that must stay close to evaluating e^drop at every sample.
    const double release = 0.02, dependency = 0.3, from = 9.0;
    Rig r;
    r.cap.releaseTime().parameter().setValue(static_cast<float>(release), 0);
    r.cap.releaseDependency().setValue(static_cast<float>(dependency), 0);
    r.jumpTo(static_cast<float>(from));
    r.input.setValue(0.0f);
    double s = from;
    float worst = 0.0f;
    for (float y : r.render(r.cap, 150 * 64)) {
        s -= s * coefficientFor(release + std::exp(-s) * dependency);
        worst = std::max(worst, std::fabs(y - static_cast<float>(s)));
    }
    EXPECT_LT(s, 0.5);  // the release has run most of its course
    EXPECT_LT(worst, 1e-3f);
}

// The vectorised block path against the scalar rule in double precision, for plain shape and no
// dependency, while both times ramp over several blocks (every block has moving times).
TEST(Capacitor, VectorisedPathMatchesTheScalarRuleWhileTimesMove) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> level(0.0f, 30.0f), attackS(0.0005f, 0.005f),
        releaseS(0.01f, 0.1f);
    std::vector<float> pattern(4096);
    for (float& v : pattern)
        v = level(rng);
    testing::GraphRig rig(64, kRate);
    testing::PatternSource input(&rig.env, pattern);
    Capacitor cap(&rig.env);
    cap.setInput(&input);
    double s = 0.0;
    for (std::size_t block = 0, n = 0; block < 64; ++block) {
        if (block % 4 == 0) {
            cap.attackTime().setValue(attackS(rng), 5.0f);
            cap.releaseTime().parameter().setValue(releaseS(rng), 5.0f);
        }
        const std::vector<float> y = runCycle(rig.env, cap, 64);
        const float* attack = cap.attackTime().block().data();
        const float* release = cap.releaseTime().parameter().block().data();
        for (std::size_t i = 0; i < 64; ++i, ++n) {
            const double d = pattern[n] - s;
            const float t = (d <= -1.1920928955078125e-7 ? release[i] : attack[i]) * kRate;
            s += d * (t > 1.1920929e-7f ? 1.0 - std::exp(-2.3025851 / t) : 1.0);
            // The fast single-precision exponential and float coefficients cost a few 1e-7 of
            // each coefficient: within 1e-4 dB over levels up to 30 dB (measured: 2e-5).
            ASSERT_NEAR(y[i], s, 1e-4) << "sample " << n;
        }
    }
}

TEST(Capacitor, RestingSilencePassesThroughAndResetStartsOver) {
    Rig r;
    EXPECT_TRUE(r.cap.isSettled());  // reset pending from construction
    EXPECT_EQ(testing::pullCycle(r.env, 32, {&r.cap})[0], r.input.outputBlock())
        << "zeros into a resting state: untouched";
    r.cap.attackTime().setValue(0.0f, 0);
    r.input.setValue(7.5f);
    EXPECT_EQ(runCycle(r.env, r.cap, 32)[0], 7.5f) << "no attack time: rises at once";
    EXPECT_FALSE(r.cap.isSettled());
    r.cap.reset();
    EXPECT_TRUE(r.cap.isSettled());
    r.input.setValue(0.0f);
    EXPECT_EQ(testing::pullCycle(r.env, 16, {&r.cap})[0], r.input.outputBlock())
        << "restarted from 0";
    EXPECT_EQ(r.cap.state(), 0.0);
    r.jumpTo(1e-7f);  // within 1e-6 of rest
    EXPECT_TRUE(r.cap.isSettled());
}

TEST(Capacitor, NonFiniteInputHoldsOrStaysFinite) {
    Rig r;
    r.cap.attackTime().setValue(0.001f, 0);
    r.jumpTo(6.0f);
    r.input.setValue(kNaN);
    EXPECT_EQ(runCycle(r.env, r.cap, 64), std::vector<float>(64, 6.0f));
    for (float bad : {kInf, -kInf, kNaN, 3.0f}) {
        r.input.setValue(bad);
        for (float y : r.render(r.cap, 4 * 64))
            ASSERT_TRUE(std::isfinite(y)) << bad;
    }
    EXPECT_TRUE(std::isfinite(r.cap.state()));
}

}  // namespace
}  // namespace tessel
