#include "dynamics/BandCompander.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/AllocationCounter.h"
#include "engine/TestSignals.h"

namespace tessel {
namespace {

using testing::kInf;
using testing::kNaN;
using Mode = BandCompander::DynamicsMode;

constexpr float kRate = 48000.0f;
constexpr int32_t kBlock = 256;

// A detection signal of steady magnitude (alternating sign, never flagged constant) at a level in
// dB, optionally with a seeded random wobble of up to -6 dB per sample.
struct LevelSignal : wave::Source {
    explicit LevelSignal(wave::Environment* environment) : wave::Source(environment) {}
    void setLevelDb(float db) { amplitude = std::pow(10.0f, db / 20.0f); }
    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        const int64_t p = environment()->samplePosition();
        for (int32_t i = 0; i < frames; ++i) {
            const float wobble = noise ? 0.5f + 0.5f * uniform(random) : 1.0f;
            block->data()[i] = ((p + i) & 1 ? -amplitude : amplitude) * wobble * scale;
        }
        block->setConstant(false);
    }
    float amplitude = 0.0f;
    float scale = 1.0f;
    bool noise = false;
    std::minstd_rand random{12345};
    std::uniform_real_distribution<float> uniform{0.0f, 1.0f};
};

struct Rig {
    wave::Environment env{kBlock, true};
    LevelSignal input{&env};
    BandCompander compander{&env};
    Rig() {
        env.setSampleRate(kRate);  // reaches the compander through the environment's reset list
        compander.setInput(&input);
    }
    /// Runs for `seconds` and returns the gain of every sample in dB.
    std::vector<float> run(float seconds) {
        std::vector<float> gainsDb;
        for (float done = 0.0f; done < seconds * kRate; done += kBlock) {
            const float* g = testing::pullCycle(env, kBlock, {&compander})[0]->data();
            for (int32_t i = 0; i < kBlock; ++i)
                gainsDb.push_back(20.0f * std::log10(g[i]));
        }
        return gainsDb;
    }
};

/// Seconds until the gain has covered `fraction` of the way from `from` to `to` (dB).
float timeToReach(const std::vector<float>& gainsDb, float from, float to, float fraction) {
    const auto it = std::find_if(gainsDb.begin(), gainsDb.end(),
                                 [&](float g) { return (g - from) / (to - from) >= fraction; });
    return static_cast<float>(it - gainsDb.begin()) / kRate;
}

TEST(BandCompander, SettlesAtCurveGainForSteadyLevels) {
    struct Case {
        Mode mode;
        float rangeDb, ratio, thresholdDb, mix, levelDb, expectedDb;
    };
    const Case cases[] = {
        // Downward compression: 10 dB over at 4:1, then the rounded approach to the 18 dB range.
        {Mode::kCompression, -18, 4, -36, 1, -26, -7.5f},
        {Mode::kCompression, -18, 4, -36, 1, -16, -14.625f},
        {Mode::kCompression, -18, 4, -36, 1, -6, -17.90625f},
        {Mode::kCompression, -18, 4, -36, 1, 0, -18.0f},
        {Mode::kCompression, -18, 4, -36, 1, 20, -18.0f},
        {Mode::kCompression, -18, 4, -36, 1, -46, 0.0f},
        {Mode::kCompression, -18, 4, -20, 1, -10, -7.5f},
        // Upward compression: nothing above the threshold, at most Range below it.
        {Mode::kCompression, 12, 4, -36, 1, -26, 0.0f},
        {Mode::kCompression, 12, 4, -36, 1, -40, 4.0f},  // 4 dB under at 4:1 = 12 of 36
        {Mode::kCompression, 12, 4, -36, 1, -120, 12.0f},
        // Expansion: unity at range 0, downward below the threshold, upward above it.
        {Mode::kExpansion, 0, 4, -36, 1, -60, 0.0f},
        {Mode::kExpansion, 0, 4, -36, 1, -20, 0.0f},
        {Mode::kExpansion, -12, 2, -36, 1, -46, -10.0f / 3.0f},
        {Mode::kExpansion, 6, 2, -36, 1, -26, 6.0f - 49.0f / 24.0f},  // 5 dB, inside range knee
        // Ratio 1 is unity whichever the direction.
        {Mode::kCompression, -18, 1, -36, 1, -6, 0.0f},
        {Mode::kExpansion, -12, 1, -36, 1, -60, 0.0f},
        // Mix scales the change in dB.
        {Mode::kCompression, -18, 4, -36, 0, -16, 0.0f},
        {Mode::kCompression, -18, 4, -36, 2, -26, -15.0f},
        {Mode::kCompression, -18, 4, -36, 2, -6, -35.8125f},
    };
    for (const Case& c : cases) {
        Rig rig;
        BandCompander& k = rig.compander;
        k.dynamicsMode() = c.mode;
        k.rangeDb() = c.rangeDb;
        k.ratio() = c.ratio;
        k.thresholdDb() = c.thresholdDb;
        k.mix() = c.mix;
        rig.input.setLevelDb(c.levelDb);
        const std::vector<float> g = rig.run(1.5f);
        const auto tail = g.end() - 4800;  // the last 100 ms hold still
        const auto [lo, hi] = std::minmax_element(tail, g.end());
        EXPECT_NEAR(g.back(), c.expectedDb, 0.01f)
            << int(c.mode) << " " << c.rangeDb << " " << c.ratio << " " << c.levelDb;
        EXPECT_LT(*hi - *lo, 1e-3f);
        // Never past the range, not even on the way there (the smoothing low-pass rings).
        if (c.mode == Mode::kCompression && c.rangeDb < 0 && c.mix == 1) {
            EXPECT_GE(*std::min_element(g.begin(), g.end()), -18.01f) << c.levelDb;
        }
    }
}

TEST(BandCompander, AttackAndReleaseTimesFollowTheirCurves) {
    // Attack: no change to 17.9 dB in one step. The fast envelope sees the whole step at once
    // (the slow one only rises towards it), so 90 % of the change takes the curve's time.
    const float attacks[][2] = {
        {0, 0.25f}, {20, 1.2096f}, {50, 37.734f}, {75, 190.02f}, {100, 600.0f}};  // percent, ms
    for (const auto& [percent, expectedMs] : attacks) {
        Rig rig;
        rig.compander.lookaheadEnabled() = false;
        rig.compander.attackPercent() = percent;
        rig.input.setLevelDb(-60.0f);
        rig.run(0.3f);
        rig.input.setLevelDb(-6.0f);
        const float t90Ms = 1000.0f * timeToReach(rig.run(1.0f), 0.0f, -17.90625f, 0.9f);
        EXPECT_NEAR(t90Ms, expectedMs, 0.02f * expectedMs + 0.05f) << percent;
    }
    // Release after a 10 ms burst (too short for the slow envelope to rise much): the first 10 %
    // of the recovery takes the same share of the curve's time over a 38-fold span of times. A
    // plain exponential towards 0 would take 0.046 of it; the slow envelope's floor of a few dB
    // stretches that a little.
    const float releases[][2] = {{25, 0.12975f}, {50, 0.4042f}, {75, 1.24626f}, {100, 4.995f}};
    std::vector<float> shares;
    for (const auto& [percent, curveSeconds] : releases) {
        Rig rig;
        rig.compander.lookaheadEnabled() = false;
        rig.compander.attackPercent() = 20.0f;  // fast, and no drop-dependent release shape
        rig.compander.releasePercent() = percent;
        rig.input.setLevelDb(-60.0f);
        rig.run(0.2f);
        rig.input.setLevelDb(-6.0f);
        const float peak = rig.run(0.01f).back();
        EXPECT_NEAR(peak, -17.90625f, 0.01f);
        rig.input.setLevelDb(-60.0f);
        shares.push_back(timeToReach(rig.run(0.5f), peak, 0.0f, 0.1f) / curveSeconds);
        EXPECT_GT(shares.back(), 0.045f) << percent;
        EXPECT_LT(shares.back(), 0.065f) << percent;
    }
    const auto [lo, hi] = std::minmax_element(shares.begin(), shares.end());
    EXPECT_LT(*hi / *lo, 1.08f);
}

TEST(BandCompander, DirectionChangesRestartOrRampAsTheyShould) {
    {
        // Expansion -6 -> -12 keeps the "below" direction: the change ramps over 20 ms.
        Rig rig;
        rig.compander.dynamicsMode() = Mode::kExpansion;
        rig.compander.rangeDb() = -6.0f;
        rig.compander.ratio() = 2.0f;
        rig.input.setLevelDb(-46.0f);  // 10 dB under: 10 of 36 dB
        EXPECT_NEAR(rig.run(1.0f).back(), -10.0f / 6.0f, 0.01f);
        rig.compander.rangeDb() = -12.0f;
        EXPECT_EQ(rig.compander.direction(), BandCompander::Direction::kBelow);
        const std::vector<float> g = rig.run(0.1f);
        EXPECT_NEAR(g[0], -10.0f / 6.0f, 0.01f);
        EXPECT_NEAR(g[480], -2.5f, 0.01f);  // half way at 10 ms
        EXPECT_NEAR(g[960], -10.0f / 3.0f, 0.01f);
        EXPECT_NEAR(g.back(), -10.0f / 3.0f, 0.01f);
        for (std::size_t i = 1; i < g.size(); ++i)
            ASSERT_LE(g[i], g[i - 1] + 1e-5f) << i;
    }
    // Compression -6 -> +6 flips to "below": the envelopes restart (no attenuation carried over,
    // which the new positive scale would turn into a boost) and the scale jumps.
    Rig rig;
    BandCompander& k = rig.compander;
    k.rangeDb() = -6.0f;
    rig.input.setLevelDb(-26.0f);  // 7.5 dB raw, 5.16 dB after the rounded 6 dB range
    EXPECT_NEAR(rig.run(1.0f).back(), -5.15625f, 0.01f);
    k.rangeDb() = 6.0f;
    EXPECT_EQ(k.direction(), BandCompander::Direction::kBelow);
    EXPECT_TRUE(k.fastEnvelope().resetPending() && k.slowEnvelope().resetPending());
    EXPECT_FALSE(k.directionScale().isRamping());
    EXPECT_FLOAT_EQ(k.directionScale().target(), 6.0f / 36.0f);
    const std::vector<float> g = rig.run(1.0f);
    EXPECT_NEAR(g[0], 0.0f, 0.01f);
    // Above the threshold upward compression does nothing; on the way there the change stays
    // within 0 .. +6 dB.
    EXPECT_NEAR(g.back(), 0.0f, 0.01f);
    const auto [lo, hi] = std::minmax_element(g.begin(), g.end());
    EXPECT_GE(*lo, -0.01f);
    EXPECT_LE(*hi, 6.01f);
    rig.input.setLevelDb(-120.0f);
    EXPECT_NEAR(rig.run(1.0f).back(), 6.0f, 0.01f);
}

TEST(BandCompander, LookaheadSetsDetectionDelayHoldAndSmoothing) {
    struct Case {
        bool enabled;
        float lookaheadMs, lowOctaves, highOctaves;
        int32_t expectedDelay;
    };
    const float low = 4.321928f;    // 20 Hz
    const float high = 14.872674f;  // 30 kHz: centre 774.6 Hz, 0.6455 ms of its own lookahead
    const Case cases[] = {
        {false, 5.0f, low, high, 0},
        {true, 0.0f, low, high, 960 - 30},
        {true, 5.0f, low, high, 960 - 270},
        {true, 2.0f, 10.0f, 12.0f, 960 - 107},    // 1 .. 4 kHz: 0.244 + 2 ms
        {true, 0.0f, low, 6.321928f, 960 - 240},  // 20 .. 80 Hz: limited to 100 Hz, 5 ms
        {true, 30.0f, low, high, 0},              // at most 20 ms
    };
    for (const Case& c : cases) {
        Rig rig;
        BandCompander& k = rig.compander;
        k.lookaheadEnabled() = c.enabled;
        k.lookaheadMs() = c.lookaheadMs;
        k.lowCrossoverOctaves() = c.lowOctaves;
        k.highCrossoverOctaves() = c.highOctaves;
        rig.input.setLevelDb(-60.0f);
        rig.run(0.1f);
        rig.input.setLevelDb(-6.0f);
        const std::vector<float> g = rig.run(0.05f);
        const auto onset = std::find_if(g.begin(), g.end(), [](float db) { return db < 0.0f; });
        EXPECT_EQ(onset - g.begin(), c.expectedDelay) << c.enabled << " " << c.lookaheadMs;
        EXPECT_EQ(k.detectionDelaySamples(), c.expectedDelay);
        if (!c.enabled) {
            EXPECT_NEAR(std::exp2(k.smoothingFilter().frequencyOctaves().parameter().target()),
                        6500.0f, 0.5f);
            EXPECT_NEAR(k.peakHold().holdTimeMs().target(), 2.0f + 0.11f, 1e-5f);
        }
    }
    // A new sample rate re-sizes the delay and recomputes it.
    Rig rig;
    rig.env.setSampleRate(96000.0f);
    EXPECT_EQ(rig.compander.maximumDetectionDelaySamples(), 1920);
    EXPECT_EQ(rig.compander.detectionDelaySamples(), 1920 - 61);
}

/// Two channels of one band, the second linked to the first as the band links them, plus an
/// unlinked reference that always sees what the second sees.
struct StereoRig {
    wave::Environment env{kBlock, true};
    LevelSignal left{&env}, right{&env}, reference{&env};
    BandCompander first{&env}, second{&env}, alone{&env};
    StereoRig() {
        env.setSampleRate(kRate);
        first.setInput(&left);
        second.setInput(&right);
        alone.setInput(&reference);
        second.setLinkedCompander(&first);
        first.smoothingFilter().link(&second.smoothingFilter(), BiquadProcessor::LinkKind::kFollow);
        for (LevelSignal* s : {&left, &right, &reference}) {
            s->noise = true;
            s->setLevelDb(-20.0f);
        }
    }
    /// One cycle, the second channel pulled first; returns the three gain blocks.
    std::vector<const wave::BasicBlock<float>*> cycle() {
        return testing::pullCycle(env, kBlock, {&second, &first, &alone});
    }
};

TEST(BandCompander, SecondChannelSharesWhileDetectionIsIdenticalAndHandsOverSmoothly) {
    struct Case {
        Mode mode;
        float rangeDb, lookaheadMs, levelDb, driftScale;
    };
    const Case cases[] = {
        {Mode::kCompression, -18, 0, -18, 1.2f},   // mid-range change, 1 kHz smoothing
        {Mode::kCompression, -18, 0, -8, 0.7f},    // near the range limit, drifting down
        {Mode::kCompression, -18, 15, -18, 1.2f},  // long lookahead: 41 Hz smoothing, long hold
        {Mode::kExpansion, -12, 0, -45, 1.2f},     // "below": inverted envelopes
    };
    for (const Case& c : cases) {
        StereoRig rig;
        for (BandCompander* k : {&rig.first, &rig.second, &rig.alone}) {
            k->dynamicsMode() = c.mode;
            k->rangeDb() = c.rangeDb;
            k->lookaheadMs() = c.lookaheadMs;
        }
        std::vector<float> second, reference;
        int32_t sharingAgain = -1;
        for (int32_t block = 0; block < 1200; ++block) {
            if (block == 100) {
                for (LevelSignal* s : {&rig.left, &rig.right, &rig.reference})
                    s->setLevelDb(c.levelDb);
            }
            // The right channel drifts away for a while, then is identical again.
            rig.right.scale = rig.reference.scale = block >= 300 && block < 500 ? c.driftScale : 1;
            const auto blocks = rig.cycle();
            if (block < 300) {
                ASSERT_TRUE(rig.second.isSharing()) << block;
                ASSERT_EQ(blocks[0], blocks[1]) << block;  // the first channel's block itself
                ASSERT_FALSE(rig.second.detector().computedThisCycle()) << block;  // chain idle
            } else if (block >= 305 && block < 505) {
                // (A difference reaches the detector once it has passed the detection delay.)
                ASSERT_FALSE(rig.second.isSharing()) << block;
            } else if (block >= 505 && sharingAgain < 0 && rig.second.isSharing()) {
                // Identical again, but sharing waits until the envelopes agree within 0.01 dB.
                sharingAgain = block;
                EXPECT_NEAR(rig.second.slowEnvelope().state(), rig.first.slowEnvelope().state(),
                            0.02);
            }
            for (int32_t i = 0; block < 500 && i < kBlock; ++i) {
                second.push_back(20.0f * std::log10(blocks[0]->data()[i]));
                reference.push_back(20.0f * std::log10(blocks[2]->data()[i]));
            }
        }
        EXPECT_GT(sharingAgain, 520) << c.levelDb;  // the slow envelope takes its time
        // While shared, the output is what the second channel's own chain would have computed;
        // after the hand-over it follows its own signal as if it had always run: no jump, and no
        // ringing of its restarted smoothing.
        float worst = 0.0f, worstExtraStep = 0.0f;
        for (std::size_t i = 1; i < second.size(); ++i) {
            if (i < 300 * kBlock) {
                ASSERT_EQ(second[i], reference[i]) << i;
            }
            worst = std::max(worst, std::fabs(second[i] - reference[i]));
            worstExtraStep =
                std::max(worstExtraStep, std::fabs(second[i] - second[i - 1]) -
                                             std::fabs(reference[i] - reference[i - 1]));
        }
        EXPECT_LT(worst, 0.02f) << c.levelDb << " " << c.lookaheadMs;
        EXPECT_LT(worstExtraStep, 0.005f) << c.levelDb << " " << c.lookaheadMs;
    }
}

TEST(BandCompander, NonFiniteDetectionReadsAsSilenceOrFullLevelAndRecovers) {
    // The level converter turns NaN into -180 dB (silence) and infinity into a level far above
    // any threshold, so the gain goes where the curve sends it and stays finite throughout.
    struct Case {
        Mode mode;
        float rangeDb, fault, duringDb, settledDb;
    };
    const Case cases[] = {
        {Mode::kCompression, -18, kNaN, 0.0f, -7.5f},
        {Mode::kCompression, -18, kInf, -18.0f, -7.5f},
        {Mode::kCompression, -18, -kInf, -18.0f, -7.5f},
        {Mode::kExpansion, -12, kNaN, -12.0f, 0.0f},
        {Mode::kExpansion, -12, kInf, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.compander.dynamicsMode() = c.mode;
        rig.compander.rangeDb() = c.rangeDb;
        rig.input.setLevelDb(-26.0f);
        EXPECT_NEAR(rig.run(1.0f).back(), c.settledDb, 0.01f);
        rig.input.amplitude = c.fault;
        std::vector<float> g = rig.run(2.0f);
        EXPECT_NEAR(g.back(), c.duringDb, 0.01f) << c.fault;
        rig.input.setLevelDb(-26.0f);
        const std::vector<float> after = rig.run(3.0f);
        EXPECT_NEAR(after.back(), c.settledDb, 0.01f) << c.fault;
        g.insert(g.end(), after.begin(), after.end());
        EXPECT_TRUE(std::all_of(g.begin(), g.end(), [](float db) { return std::isfinite(db); }));
    }
}

TEST(BandCompander, NoAllocationWhileSettingsAndSharingChange) {
    StereoRig rig;
    std::minstd_rand random(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    // Every compander takes every change, as the band's parameters set them.
    const auto change = [&](int32_t step) {
        const float x = u(random);
        for (BandCompander* k : {&rig.first, &rig.second, &rig.alone}) {
            switch (step % 9) {
                case 0:
                    k->attackPercent() = 100.0f * x;
                    break;
                case 1:
                    k->releasePercent() = 100.0f * x;
                    break;
                case 2:
                    k->rangeDb() = 48.0f * x - 24.0f;
                    break;  // flips the direction
                case 3:
                    k->dynamicsMode() = x < 0.5f ? Mode::kCompression : Mode::kExpansion;
                    break;
                case 4:
                    k->thresholdDb() = -60.0f * x;
                    break;
                case 5:
                    k->lookaheadMs() = 20.0f * x;
                    break;
                case 6:
                    k->lowCrossoverOctaves() = 4.4f + 5.0f * x;
                    break;
                case 7:
                    k->mix() = 2.0f * x;
                    break;
                default:
                    k->lookaheadEnabled() = x < 0.5f;
                    break;
            }
        }
    };
    const auto cycle = [&] {
        rig.env.beginCycle();
        bool finite = true;
        for (BandCompander* k : {&rig.second, &rig.first, &rig.alone})
            finite &= std::isfinite(k->pull(kBlock)->data()[kBlock - 1]);
        rig.env.advance(kBlock, 0);
        return finite;
    };
    for (int32_t block = 0; block < 20; ++block)
        cycle();
    testing::AllocationScope scope;
    int32_t sharedBlocks = 0, finiteBlocks = 0;
    for (int32_t block = 0; block < 1200; ++block) {
        if (block % 4 == 0) change(block / 4);
        rig.right.scale = (block / 100) % 2 == 0 ? 1.0f : 1.1f;  // sharing starts and stops
        finiteBlocks += cycle() ? 1 : 0;
        sharedBlocks += rig.second.isSharing() ? 1 : 0;
    }
    EXPECT_EQ(scope.allocations(), 0u);
    EXPECT_EQ(finiteBlocks, 1200);
    EXPECT_GT(sharedBlocks, 100);
    EXPECT_LT(sharedBlocks, 1100);
}

}  // namespace
}  // namespace tessel
