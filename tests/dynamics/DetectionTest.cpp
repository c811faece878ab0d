// The detection chain's pieces: the static curve, the peak hold and the envelope follower.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>

#include "common/GraphRig.h"
#include "dynamics/Capacitor.h"
#include "dynamics/Detector.h"
#include "dynamics/PeakHold.h"
#include "engine/DBConverter.h"
#include "engine/Mixer.h"

namespace tessel {
namespace {

using testing::ConstantSource;
using testing::kInf;
using testing::kNaN;
using testing::runCycle;
using Purpose = Detector::Purpose;

constexpr Purpose kAbove = Purpose::kAboveThreshold;
constexpr Purpose kBelow = Purpose::kBelowThreshold;

struct CurveCase {
    Purpose purpose;
    float thresholdDb, ratio, kneeDb, rangeDb, rangeKneeDb, levelDb, expectedDb;
};

// clang-format off
const CurveCase kCurveCases[] = {
    // Above the threshold: ratio, knee (ends and centre h / 4), ratio 100, range 0 and 12.
    {kAbove, -20, 2, 0, 180, 0, -10, 5}, {kAbove, -20, 2, 0, 180, 0, -20, 0},
    {kAbove, -20, 4, 0, 180, 0, -30, 0}, {kAbove, -20, 2, 10, 180, 0, -25, 0},
    {kAbove, -20, 2, 10, 180, 0, -20, 0.625f}, {kAbove, -20, 2, 10, 180, 0, -15, 2.5f},
    {kAbove, -20, 100, 0, 180, 0, -10, 10}, {kAbove, -20, 100, 0, 0, 0, 0, 0},
    {kAbove, -40, 100, 0, 12, 0, 0, 12},
    // Below the threshold: ratio 2 and 3, range limit, the knee from the threshold down.
    {kBelow, -20, 2, 0, 180, 0, -10, 0}, {kBelow, -20, 2, 0, 180, 0, -30, 10},
    {kBelow, -20, 3, 0, 180, 0, -30, 20}, {kBelow, -20, 2, 0, 15, 0, -50, 15},
    {kBelow, -20, 2, 10, 180, 0, -20, 0}, {kBelow, -20, 2, 10, 180, 0, -25, 1.25f},
    {kBelow, -20, 2, 10, 180, 0, -30, 5},
    // The range knee: rounds the limit, reaches it, leaves small changes alone.
    {kAbove, 0, 100, 0, 20, 12, 20, 18.5f}, {kAbove, 0, 100, 0, 20, 12, 30, 20},
    {kAbove, 0, 100, 0, 20, 12, 10, 10},
    // Faulty levels: NaN and -inf change nothing above; +inf, and -inf below, take the range.
    {kAbove, -20, 4, 6, 30, 6, kNaN, 0}, {kAbove, -20, 4, 0, 30, 0, kInf, 30},
    {kAbove, -20, 4, 0, 30, 0, -kInf, 0}, {kBelow, -20, 4, 0, 30, 0, -kInf, 30},
};
// clang-format on

TEST(Detector, FollowsTheCurveForConstantBlocksAndPerSampleBlocks) {
    for (const CurveCase& c : kCurveCases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - kCurveCases);
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
            for (float g : runCycle(env, detector, 16))
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
    EXPECT_TRUE(out[31] > out[1] && out[1] > 0.0f);
    // So is a threshold ramping over one block, here to 10 dB under the level at ratio 100.
    detector.ratio().setValue(100.0f, 0);
    detector.thresholdDb().setValue(0.0f, 0);
    runCycle(rig.env, detector, 64);
    detector.thresholdDb().setValue(-20.0f, 1000.0f * 64.0f / 48000.0f);
    out = runCycle(rig.env, detector, 64);
    for (int i : {0, 32, 63})  // over by -10 + 20 i / 64 dB, all of it at ratio 100
        EXPECT_NEAR(out[i], std::max(0.0f, -10.0f + 0.3125f * float(i)), 1e-4f) << i;
    EXPECT_NEAR(runCycle(rig.env, detector, 64)[0], 10.0f, 1e-5f);
}

// A linear input reads exactly as through DBConverter. Threshold -30 dB, knee 6 dB: changes start
// at -33 dB above the threshold and below -30 dB below it; a block 0.002 dB on the quiet side is
// the zero block, one 0.0006 dB past that point is computed.
TEST(Detector, LinearInputReadsAsTheConverterAndQuietBlocksAreTheZeroBlock) {
    const auto at = [](float db) { return std::pow(10.0f, db / 20.0f); };
    const std::tuple<Purpose, std::vector<float>, bool> cases[] = {
        // purpose, linear samples, quiet
        {kAbove, {0.0f, kNaN, -at(-33.002f), at(-40.0f)}, true},
        {kAbove, {0.0f, at(-32.9994f)}, false},
        {kAbove, {0.5f, -kInf, 1e-3f}, false},
        {kBelow, {at(-29.998f), -1.0f, kInf}, true},
        {kBelow, {at(-29.998f), at(-30.0006f)}, false},
        {kBelow, {1.0f, kNaN}, false},  // NaN reads as silence, far below the threshold
    };
    for (const auto& [purpose, levels, quiet] : cases) {
        SCOPED_TRACE(::testing::Message() << int(purpose) << " " << levels[1]);
        wave::Environment env(64, true);
        testing::PatternSource input(&env, levels);
        DBConverter converter(&env);
        converter.setInput(&input);
        Detector linear(&env), reference(&env);
        linear.setLinearInput(true);
        linear.setInput(&input);
        reference.setInput(&converter);
        for (Detector* d : {&linear, &reference}) {
            d->purpose() = purpose;
            d->thresholdDb().setValue(-30.0f, 0);
            d->ratio().setValue(3.0f, 0);
            d->kneeDb().setValue(6.0f, 0);
            d->rangeDb().setValue(40.0f, 0);
        }
        const auto blocks = testing::pullCycle(env, 64, {&linear, &reference});
        EXPECT_EQ(blocks[0] == env.zeroBlock(), quiet);
        EXPECT_TRUE(std::equal(blocks[0]->data(), blocks[0]->data() + 64, blocks[1]->data()));
    }
}

// The window maximum of |x| over the last H + 1 samples.
float windowMax(const std::vector<float>& x, std::size_t n, int32_t h) {
    float m = 0.0f;
    for (std::size_t k = n >= static_cast<std::size_t>(h) ? n - static_cast<std::size_t>(h) : 0;
         k <= n; ++k)
        m = std::max(m, std::fabs(x[k]));
    return m;
}

TEST(PeakHold, EqualsTheSlidingMaximumForRandomSignalsNaNCountingAsSilenceInfinityHeld) {
    // Hold ms from, to, ramp ms, frames, rate (96 kHz re-sizes on the reset); exact while the hold
    // grows by at most a sample per sample.
    const std::tuple<float, float, float, int32_t, float> cases[] = {
        {0, 0, 0, 21, 48000},      {1, 1, 0, 64, 48000},      {10, 10, 0, 37, 48000},
        {120, 120, 0, 256, 48000}, {120, 120, 0, 256, 96000}, {0, 15, 200, 64, 48000},
        {40, 2, 30, 64, 48000}};
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (const auto& [startMs, endMs, rampMs, frames, rate] : cases) {
        SCOPED_TRACE(::testing::Message() << startMs << " to " << endMs << " at " << rate);
        std::vector<float> pattern(40000);
        for (float& v : pattern)
            v = value(rng) * value(rng);  // many small values, few peaks
        testing::GraphRig rig(256, 48000.0f);
        testing::PatternSource input(&rig.env, pattern);
        PeakHold hold(&rig.env);
        hold.setInput(&input);
        rig.env.setSampleRate(rate);
        hold.holdTimeMs().setValue(startMs, 0);
        for (std::size_t n = 0; n + static_cast<std::size_t>(frames) < pattern.size();) {
            if (n == 4800) hold.holdTimeMs().setValue(endMs, rampMs);
            const std::vector<float> out = testing::runCycle(rig.env, hold, frames);
            const float* ms = hold.holdTimeMs().block().data();
            for (int32_t i = 0; i < frames; ++i, ++n) {
                const auto h = static_cast<int32_t>(ms[i] * rate * 0.001f);
                ASSERT_EQ(out[static_cast<std::size_t>(i)], windowMax(pattern, n, h)) << n;
            }
        }
    }

    // NaN counts as silence, infinity is held.
    testing::GraphRig rig(64, 48000.0f);
    testing::PatternSource input(&rig.env, {0.5f, kNaN, kInf, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f});
    PeakHold hold(&rig.env);
    hold.setInput(&input);
    hold.holdTimeMs().setValue(0.05f, 0);  // 2 samples
    EXPECT_EQ(testing::runCycle(rig.env, hold, 8),
              (std::vector<float>{0.5f, 0.5f, kInf, kInf, kInf, 0.1f, 0.1f, 0.1f}));
    // A restart forgets the window (the infinity), holds its magnitude for the hold time, and
    // leaves the rest to the input.
    testing::runCycle(rig.env, hold, 3);
    hold.restartFrom(-0.9f);
    EXPECT_EQ(testing::runCycle(rig.env, hold, 5),
              (std::vector<float>{0.9f, 0.9f, 0.1f, 0.1f, 0.1f}));
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

TEST(CapacitorStyle, TableAndCoefficientsMatchTheExponentialAndTheTableIsShared) {
    Rig a, b;
    const Capacitor::Style* style = a.cap.style();
    EXPECT_EQ(style, b.cap.style());
    // Linear interpolation at a step of 25/8191: relative error below h^2/8 = 1.2e-6.
    for (double x = -25.0; x <= 0.0; x += 0.0137)
        EXPECT_NEAR(style->lookup(x) / std::exp(x), 1.0, 1.3e-6) << x;
    EXPECT_EQ(style->lookup(0.0), 1.0);
    for (double clamped : {-40.0, std::nan("")})
        EXPECT_NEAR(style->lookup(clamped), std::exp(-25.0), 1e-15);
    // The envelope coefficient 1 - e^(-ln10 / T) without a library exponential, for times from a
    // fraction of a sample to 10 s at 768 kHz (and past, for drop-stretched releases).
    for (double t = 2e-7; t < 1e12; t *= 1.01) {
        const double exact = -std::expm1(-2.3025851 / t);
        ASSERT_NEAR(Capacitor::coefficient(static_cast<float>(t)) / exact, 1.0, 1e-6) << t;
    }
    for (float none : {0.0f, -3.0f, 1e-7f, kNaN})
        EXPECT_EQ(Capacitor::coefficient(none), 1.0f) << none;
}

// A step's first sample puts 90 % at the attack or release time, shaped or made drop-dependent.
TEST(Capacitor, StepsTakeTheirAttackOrShapedReleaseTime) {
    constexpr double kR = 0.05;
    constexpr float kA = 0.0005f;
    const struct {
        float attackS, shape, dependencyS, from, to;
        double expectedSeconds;
    } cases[] = {
        // clang-format off
        {0.01f, 1, 0, 0, 1, 0.01}, {0.001f, 1, 0, 0, 20, 0.001}, {kA, 1, 0, 10, 0, kR},
        {kA, 0.3f, 0, 10, 0, kR}, {kA, 0.3f, 0, 20, 0, kR * 1.7}, {kA, 0.3f, 0, 40, 0, kR * 3.1},
        {kA, 1, 0.2f, 1, 0, kR + std::exp(-1.0) * 0.2}, {kA, 1, 0.2f, 12, 0, kR},  // past 10 dB
        {kA, 1, 0.2f, 5, 0, kR + std::exp(-5.0) * 0.2},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.shape << " " << c.dependencyS << " " << c.from);
        Rig r;
        r.cap.attackTime().setValue(c.attackS, 0);
        r.cap.releaseTime().parameter().setValue(static_cast<float>(kR), 0);
        r.cap.releaseShape().setValue(c.shape, 0);
        r.cap.releaseDependency().setValue(c.dependencyS, 0);
        r.jumpTo(c.from);
        r.input.setValue(c.to);
        runCycle(r.env, r.cap, 1);
        EXPECT_EQ(r.cap.inRelease(), c.to < c.from);
        const double covered = (r.cap.state() - c.from) / (c.to - c.from);
        EXPECT_NEAR(covered / coefficientFor(c.expectedSeconds), 1.0, 1e-5);
    }
}

// The rule in double precision with the exact exponentials at every sample (no table, no cache).
double exactStep(double& y, double x, double attackS, double releaseS, double shape,
                 double dependencyS, double rate) {
    const double d = std::isnan(x) ? 0.0 : x - y;
    double t = attackS;
    if (d <= -1.1920928955078125e-7) {
        const double u = -0.1 * releaseS * d;
        t = (releaseS - u) * shape + u + (d > -10.0 ? std::exp(d) * dependencyS : 0.0);
    }
    t *= rate;
    return y += d * (t > 1.1920929e-7 ? -std::expm1(-2.3025851 / t) : 1.0);
}

// Every path (constant or moving times; plain, shaped or drop-dependent release, from the table
// or sample by sample; NaN samples) against the exact rule, for times from 0 to 10 s, drops and
// rises of up to 180 dB and two rates. The requirement is 0.01 dB; 0.001 dB is asserted (measured:
// 2e-5 dB), which a table read that ignored its slope between nodes would already miss.
TEST(Capacitor, FollowsTheExactRuleWellWithinAHundredthOfADecibel) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> level(0.0f, 60.0f), wiggle(-1.5f, 1.5f);
    std::vector<float> pattern(6144);
    for (std::size_t n = 0; n < pattern.size(); n += 512) {
        const float step = n % 3072 == 1536 ? 180.0f : level(rng);  // one step to 180 dB
        for (std::size_t i = n; i < n + 512; ++i)
            pattern[i] = std::max(0.0f, step + (n % 1024 == 0 ? wiggle(rng) : 0.0f));
    }
    pattern[700] = pattern[3000] = kNaN;  // holds the envelope for a sample
    const float times[] = {0.0f, 0.0005f, 0.01f, 0.3f, 10.0f};
    double worst = 0.0;
    for (float rate : {44100.0f, 192000.0f})
        for (float attackS : times)
            for (float releaseS : times)
                for (float shape : {1.0f, 0.65f, 0.3f})
                    for (float dependencyS : {0.0f, 0.1f * releaseS, 0.5f})
                        for (bool moving : {false, true}) {
                            testing::GraphRig rig(64, rate);
                            testing::PatternSource input(&rig.env, pattern);
                            Capacitor cap(&rig.env);
                            cap.setInput(&input);
                            cap.releaseShape().setValue(shape, 0);
                            cap.releaseDependency().setValue(dependencyS, 0);
                            double y = 0.0;
                            for (std::size_t block = 0, n = 0; n < pattern.size(); ++block) {
                                if (block % 16 == 0) {  // moving: ramps within +-50 %
                                    const float k = moving ? 0.5f + (block % 32 == 0) : 1.0f;
                                    cap.attackTime().setValue(attackS * k, moving ? 20.0f : 0);
                                    cap.releaseTime().parameter().setValue(releaseS * (2.0f - k),
                                                                           moving ? 20.0f : 0);
                                }
                                const std::vector<float> out = runCycle(rig.env, cap, 64);
                                const float* a = cap.attackTime().block().data();
                                const float* r = cap.releaseTime().parameter().block().data();
                                for (std::size_t i = 0; i < 64; ++i, ++n) {
                                    exactStep(y, pattern[n], a[i], r[i], shape, dependencyS, rate);
                                    worst = std::max(worst, std::fabs(out[i] - y));
                                    if (std::isnan(out[i])) worst = 1.0;
                                }
                            }
                            ASSERT_LT(worst, 1e-3)
                                << rate << " " << attackS << " " << releaseS << " " << shape << " "
                                << dependencyS << " " << moving;
                        }
}

// Two envelopes in one pass give the graph's result bit for bit (the follower reading the larger
// of the leader and the input's magnitude): each kind of follower release, moving times, resting
// silence, NaN and infinities.
TEST(Capacitor, PairedPassEqualsTheTwoEnvelopesInTheGraph) {
    std::vector<float> pattern(4096, 0.0f);  // two silent blocks first: both envelopes rest
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> level(0.0f, 30.0f);
    for (std::size_t n = 128; n < pattern.size(); n += 64) {
        const float v = level(rng);
        for (std::size_t i = n; i < n + 64; ++i)
            pattern[i] = v + 2.0f * std::sin(0.3f * static_cast<float>(i));
    }
    pattern[700] = kNaN;
    pattern[1500] = kInf;
    pattern[2300] = -kInf;
    const std::tuple<float, float, bool> cases[] = {
        // follower's release shape, dependency (s), release times moving
        {1.0f, 0.0f, false},
        {0.3f, 0.0005f, false},
        {1.0f, 0.01f, false},
        {0.3f, 0.0005f, true}};
    for (const auto& [shape, dependency, moving] : cases) {
        SCOPED_TRACE(::testing::Message() << shape << " " << dependency << " " << moving);
        testing::GraphRig rig(64, kRate);
        testing::PatternSource input(&rig.env, pattern);
        Capacitor slow(&rig.env), fast(&rig.env), pairedSlow(&rig.env), pairedFast(&rig.env);
        Mixer larger(&rig.env);
        larger.operation() = Mixer::Operation::kMaxMagnitude;
        larger.addInput(&slow);
        larger.addInput(&input);
        slow.setInput(&input);
        pairedSlow.setInput(&input);
        fast.setInput(&larger);
        for (Capacitor* c : {&fast, &pairedFast}) {
            c->attackTime().setValue(0.00025f, 0);
            c->releaseShape().setValue(shape, 0);
            c->releaseDependency().setValue(dependency, 0);
        }
        for (int32_t block = 0; block < 64; ++block) {
            for (Capacitor* c : {&slow, &pairedSlow, &fast, &pairedFast}) {
                const float seconds = c == &slow || c == &pairedSlow ? 0.26f : 0.005f;
                if (block == 0 || (moving && block % 8 == 0))
                    c->releaseTime().parameter().setValue(seconds * (block % 16 ? 1 : 3), 20.0f);
            }
            rig.env.beginCycle();
            pairedSlow.pullWithFollower(pairedFast, 64);
            ASSERT_TRUE(pairedSlow.computedThisCycle() && pairedFast.computedThisCycle());
            for (auto [graph, paired] : {std::pair{&slow, &pairedSlow}, {&fast, &pairedFast}}) {
                const float* a = graph->pull(64)->data();
                ASSERT_TRUE(std::equal(a, a + 64, paired->pull(64)->data())) << block;
            }
            rig.env.advance(64, 0);
        }
    }
}

TEST(Capacitor, RestingSilencePassesThroughResetStartsOverAndNonFiniteInputHolds) {
    Rig r;
    EXPECT_TRUE(r.cap.isSettled());  // reset pending from construction
    EXPECT_EQ(testing::pullCycle(r.env, 32, {&r.cap})[0], r.input.outputBlock())
        << "zeros into a resting state: untouched";
    r.cap.attackTime().setValue(0.0f, 0);
    r.input.setValue(7.5f);
    EXPECT_TRUE(runCycle(r.env, r.cap, 32)[0] == 7.5f && !r.cap.isSettled()) << "rises at once";
    r.cap.reset();
    EXPECT_TRUE(r.cap.isSettled());
    r.input.setValue(0.0f);
    EXPECT_TRUE(testing::pullCycle(r.env, 16, {&r.cap})[0] == r.input.outputBlock() &&
                r.cap.state() == 0.0)
        << "restarted from 0";
    r.jumpTo(1e-7f);  // within 1e-6 of rest
    EXPECT_TRUE(r.cap.isSettled());
    // A NaN input holds the state; infinities leave it finite.
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
