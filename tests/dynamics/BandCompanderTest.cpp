// The band compander end to end: curves, times, lookahead, linked channels, faults, real time.

#include "dynamics/BandCompander.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "common/StepMeter.h"

namespace tessel {
namespace {

using testing::kInf;
using testing::kNaN;
using Mode = BandCompander::DynamicsMode;

constexpr float kRate = 48000.0f;
constexpr int32_t kBlock = 256;

/// A band's settings as the compander takes them; the defaults are the compander's own.
struct Settings {
    Mode mode = Mode::kCompression;
    float rangeDb = -18.0f, ratio = 4.0f, thresholdDb = -36.0f, mix = 1.0f;
    float attackPercent = 0.0f, releasePercent = 0.0f, lookaheadMs = 0.0f;
    bool lookahead = true;
    float lowOctaves = 4.321928f, highOctaves = 14.872674f;  // 20 Hz .. 30 kHz

    void applyTo(BandCompander& k) const {
        k.dynamicsMode() = mode;
        k.rangeDb() = rangeDb;
        k.ratio() = ratio;
        k.thresholdDb() = thresholdDb;
        k.mix() = mix;
        k.attackPercent() = attackPercent;
        k.releasePercent() = releasePercent;
        k.lookaheadMs() = lookaheadMs;
        k.lookaheadEnabled() = lookahead;
        k.lowCrossoverOctaves() = lowOctaves;
        k.highCrossoverOctaves() = highOctaves;
    }
};

// Steady magnitude at a level in dB, alternating sign, optionally with a seeded wobble to -6 dB.
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
    float amplitude = 0.0f, scale = 1.0f;
    bool noise = false;
    std::minstd_rand random{12345};
    std::uniform_real_distribution<float> uniform{0.0f, 1.0f};
};

struct Rig : testing::GraphRig {
    // Another rate reaches the compander through the reset list, as a host's rate change does.
    explicit Rig(const Settings& settings = {}, float rate = kRate) : GraphRig(kBlock, kRate) {
        env.setSampleRate(rate);
        compander.setInput(&input);
        settings.applyTo(compander);
    }
    /// Runs for `seconds` at the detection level `db` and returns every sample's gain in dB.
    std::vector<float> run(float seconds, float db) {
        input.setLevelDb(db);
        return gainsDb(seconds);
    }
    std::vector<float> gainsDb(float seconds) {
        std::vector<float> g = render(compander, static_cast<int64_t>(seconds * kRate));
        for (float& x : g)
            x = 20.0f * std::log10(x);
        return g;
    }
    LevelSignal input{&env};
    BandCompander compander{&env};
};

/// Seconds until the gain has covered `fraction` of the way from `from` to `to` (dB).
float timeToReach(const std::vector<float>& gainsDb, float from, float to, float fraction) {
    const auto it = std::find_if(gainsDb.begin(), gainsDb.end(),
                                 [&](float g) { return (g - from) / (to - from) >= fraction; });
    return static_cast<float>(it - gainsDb.begin()) / kRate;
}

TEST(BandCompander, SettlesAtCurveGainForSteadyLevels) {
    constexpr Mode kExpansion = Mode::kExpansion;
    // Per settings: detection levels and the gain they settle at, in dB.
    // clang-format off
    const std::pair<Settings, std::vector<std::pair<float, float>>> cases[] = {
        // Downward compression: 10 dB over at 4:1, then the rounded approach to the 18 dB range.
        {{}, {{-26, -7.5f}, {-16, -14.625f}, {-6, -17.90625f}, {0, -18}, {20, -18}, {-46, 0}}},
        {{.thresholdDb = -20}, {{-10, -7.5f}}},
        // Upward: nothing above the threshold, at most Range below (4 dB under: 12 of 36 dB).
        {{.rangeDb = 12}, {{-26, 0}, {-40, 4}, {-120, 12}}},
        // Expansion: unity at range 0, downward below the threshold, upward above (range knee).
        {{.mode = kExpansion, .rangeDb = 0}, {{-60, 0}, {-20, 0}}},
        {{.mode = kExpansion, .rangeDb = -12, .ratio = 2}, {{-46, -10.0f / 3.0f}}},
        {{.mode = kExpansion, .rangeDb = 6, .ratio = 2}, {{-26, 6.0f - 49.0f / 24.0f}}},
        // Ratio 1 is unity whichever the direction; Mix scales the change in dB.
        {{.ratio = 1}, {{-6, 0}}},
        {{.mode = kExpansion, .rangeDb = -12, .ratio = 1}, {{-60, 0}}},
        {{.mix = 0}, {{-16, 0}}},
        {{.mix = 2}, {{-26, -15}, {-6, -35.8125f}}},
    };
    // clang-format on
    for (const auto& [settings, levels] : cases) {
        for (const auto& [levelDb, expectedDb] : levels) {
            SCOPED_TRACE(::testing::Message() << int(settings.mode) << " " << settings.rangeDb
                                              << " " << settings.ratio << " " << levelDb);
            Rig rig(settings);
            const std::vector<float> g = rig.run(1.5f, levelDb);
            const auto [lo, hi] = std::minmax_element(g.end() - 4800, g.end());  // last 100 ms
            EXPECT_NEAR(g.back(), expectedDb, 0.01f);
            EXPECT_LT(*hi - *lo, 1e-3f);
            // Never past the range, not even on the way there (the smoothing low-pass rings).
            const bool plain = settings.rangeDb == -18 && settings.mix == 1;
            EXPECT_TRUE(!plain || *std::min_element(g.begin(), g.end()) >= -18.01f);
        }
    }
}

TEST(BandCompander, AttackAndReleaseTimesFollowTheirCurves) {
    // Attack, 0 to 17.9 dB in one step: the fast envelope's 90 % take the curve's time.
    const float attacks[][2] = {
        {0, 0.25f}, {20, 1.2096f}, {50, 37.734f}, {75, 190.02f}, {100, 600.0f}};  // percent, ms
    for (const auto& [percent, expectedMs] : attacks) {
        Rig rig({.attackPercent = percent, .lookahead = false});
        rig.run(0.3f, -60.0f);
        const float t90Ms = 1000.0f * timeToReach(rig.run(1.0f, -6.0f), 0.0f, -17.90625f, 0.9f);
        EXPECT_NEAR(t90Ms, expectedMs, 0.02f * expectedMs + 0.05f) << percent;
    }
    // Release after a 10 ms burst: 10 % of it take the same share of the curve's time at all times.
    const float releases[][2] = {{25, 0.12975f}, {50, 0.4042f}, {75, 1.24626f}, {100, 4.995f}};
    std::vector<float> shares;
    for (const auto& [percent, curveSeconds] : releases) {
        Rig rig({.attackPercent = 20, .releasePercent = percent, .lookahead = false});
        rig.run(0.2f, -60.0f);
        const float peak = rig.run(0.01f, -6.0f).back();
        EXPECT_NEAR(peak, -17.90625f, 0.01f);
        shares.push_back(timeToReach(rig.run(0.5f, -60.0f), peak, 0.0f, 0.1f) / curveSeconds);
        EXPECT_TRUE(shares.back() > 0.045f && shares.back() < 0.065f) << percent;
    }
    const auto [lo, hi] = std::minmax_element(shares.begin(), shares.end());
    EXPECT_LT(*hi / *lo, 1.08f);
}

TEST(BandCompander, DirectionChangesRestartOrRampAsTheyShould) {
    {
        // Expansion -6 -> -12 keeps the "below" direction: the change ramps over 20 ms.
        Rig rig({.mode = Mode::kExpansion, .rangeDb = -6.0f, .ratio = 2.0f});
        EXPECT_NEAR(rig.run(1.0f, -46.0f).back(), -10.0f / 6.0f, 0.01f);  // 10 of 36 dB under
        rig.compander.rangeDb() = -12.0f;
        const std::vector<float> g = rig.run(0.1f, -46.0f);
        for (auto [i, db] : {std::pair{0, -10.0f / 6.0f}, {480, -2.5f}, {960, -10.0f / 3.0f}})
            EXPECT_NEAR(g[i], db, 0.01f) << i;  // half way at 10 ms
        EXPECT_NEAR(g.back(), -10.0f / 3.0f, 0.01f);
        for (std::size_t i = 1; i < g.size(); ++i)
            ASSERT_LE(g[i], g[i - 1] + 1e-5f) << i;
    }
    // Compression -6 -> +6 flips to "below": envelopes restart, no attenuation becomes a boost.
    Rig rig({.rangeDb = -6.0f});
    EXPECT_NEAR(rig.run(1.0f, -26.0f).back(), -5.15625f, 0.01f);  // 7.5 dB, rounded to 6 dB range
    rig.compander.rangeDb() = 6.0f;
    const std::vector<float> g = rig.run(1.0f, -26.0f);
    EXPECT_TRUE(std::fabs(g[0]) < 0.01f && std::fabs(g.back()) < 0.01f);
    const auto [lo, hi] = std::minmax_element(g.begin(), g.end());
    EXPECT_TRUE(*lo >= -0.01f && *hi <= 6.01f) << *lo << " .. " << *hi;
    EXPECT_NEAR(rig.run(1.0f, -120.0f).back(), 6.0f, 0.01f);
    // Back from "below" at Range 0 (no change) to attenuation: the change grows from 0 and never
    // passes the new range (the old routers' crossfade mixed the two scales into -27 dB).
    rig.compander.rangeDb() = 0.0f;
    rig.run(1.0f, -26.0f);
    rig.compander.rangeDb() = -6.0f;
    const std::vector<float> back = rig.run(1.0f, -26.0f);
    EXPECT_NEAR(back[0], 0.0f, 0.05f);
    EXPECT_GE(*std::min_element(back.begin(), back.end()), -6.01f);
}

TEST(BandCompander, LookaheadSetsTheDetectionDelay) {
    const std::tuple<Settings, float, int32_t> cases[] = {
        // settings, rate, detection delay
        {{.lookaheadMs = 5, .lookahead = false}, kRate, 0},
        {{}, kRate, 960 - 30},  // the band's centre, 774.6 Hz: 0.6455 ms of its own lookahead
        {{.lookaheadMs = 5}, kRate, 960 - 270},
        {{.lookaheadMs = 2, .lowOctaves = 10, .highOctaves = 12}, kRate, 960 - 107},  // 1 .. 4 kHz
        {{.highOctaves = 6.321928f}, kRate, 960 - 240},  // 20 .. 80 Hz: limited to 100 Hz, 5 ms
        {{.lookaheadMs = 30}, kRate, 0},                 // at most 20 ms
        {{}, 96000.0f, 1920 - 61},                       // the delay line re-sized for the rate
    };
    for (const auto& [settings, rate, expectedDelay] : cases) {
        Rig rig(settings, rate);
        rig.run(0.1f, -60.0f);
        const std::vector<float> g = rig.run(0.05f, -6.0f);
        const auto onset = std::find_if(g.begin(), g.end(), [](float db) { return db < 0.0f; });
        EXPECT_EQ(onset - g.begin(), expectedDelay)
            << settings.lookahead << " " << settings.lookaheadMs << " " << rate;
    }
}

/// Two channels of a band, the second linked to the first, and an unlinked copy of the second.
struct StereoRig : testing::GraphRig {
    explicit StereoRig(const Settings& settings) : GraphRig(kBlock, kRate) {
        first.setInput(&left);
        second.setInput(&right);
        alone.setInput(&reference);
        second.setLinkedCompander(&first);
        first.smoothingFilter().link(&second.smoothingFilter(), BiquadProcessor::LinkKind::kFollow);
        for (BandCompander* k : {&first, &second, &alone})
            settings.applyTo(*k);
        for (LevelSignal* s : {&left, &right, &reference}) {
            s->noise = true;
            s->setLevelDb(-20.0f);
        }
    }
    /// One cycle, the second channel pulled first; returns the three gain blocks.
    std::vector<const wave::BasicBlock<float>*> cycle() {
        return testing::pullCycle(env, kBlock, {&second, &first, &alone});
    }
    LevelSignal left{&env}, right{&env}, reference{&env};
    BandCompander first{&env}, second{&env}, alone{&env};
};

TEST(BandCompander, SecondChannelSharesWhileDetectionIsIdenticalAndHandsOverSmoothly) {
    const std::tuple<Settings, float, float> cases[] = {
        // settings, level, drift of the right
        {{}, -18, 1.2f},                   // mid-range change, 1 kHz smoothing
        {{}, -8, 0.7f},                    // near the range limit, drifting down
        {{.lookaheadMs = 15}, -18, 1.2f},  // 41 Hz smoothing, long hold
        {{.mode = Mode::kExpansion, .rangeDb = -12}, -45, 1.2f},  // "below": inverted envelopes
    };
    for (const auto& [settings, levelDb, driftScale] : cases) {
        SCOPED_TRACE(::testing::Message() << levelDb << " " << settings.lookaheadMs);
        StereoRig rig(settings);
        testing::StepMeter difference;  // the second channel's gain against its own chain's
        int32_t sharingAgain = -1;
        for (int32_t block = 0; block < 1200; ++block) {
            if (block == 100) {
                for (LevelSignal* s : {&rig.left, &rig.right, &rig.reference})
                    s->setLevelDb(levelDb);
            }
            rig.right.scale = rig.reference.scale =
                block >= 300 && block < 500 ? driftScale : 1;  // then identical again
            const auto blocks = rig.cycle();
            if (block < 300) {
                ASSERT_TRUE(rig.second.isSharing()) << block;
                ASSERT_EQ(blocks[0], blocks[1]) << block;  // the first channel's block itself
                ASSERT_FALSE(rig.second.detector().computedThisCycle()) << block;  // chain idle
            } else if (block >= 305 && block < 505) {  // past the detection delay
                ASSERT_FALSE(rig.second.isSharing()) << block;
            } else if (block >= 505 && sharingAgain < 0 && rig.second.isSharing()) {
                sharingAgain = block;  // identical again, and the envelopes agree within 0.01 dB
            }
            for (int32_t i = 0; block < 500 && i < kBlock; ++i)
                difference.add(20.0f * std::log10(blocks[0]->data()[i] / blocks[2]->data()[i]));
            ASSERT_TRUE(block != 299 || difference.peak == 0.0) << "shared blocks are exact";
        }
        EXPECT_GT(sharingAgain, 520);  // the slow envelope takes its time
        // After the hand-over: as if it had always run, no jump and no ringing of its smoothing
        // (the low-pass continues the twin's exactly; measured 0 to 0.0022 dB, 7e-5 dB steps).
        EXPECT_TRUE(difference.peak < 0.005 && difference.largestStep < 0.0005)
            << difference.peak << " " << difference.largestStep;
    }
}

TEST(BandCompander, NonFiniteDetectionReadsAsSilenceOrFullLevelAndRecovers) {
    // NaN reads as -180 dB, infinity far above any threshold; the gain stays finite throughout.
    const Settings expanding{.mode = Mode::kExpansion, .rangeDb = -12};
    // Settings, fault, the gain during it and settled before and after it (dB).
    const std::tuple<Settings, float, float, float> cases[] = {{{}, kNaN, 0, -7.5f},
                                                               {{}, kInf, -18, -7.5f},
                                                               {{}, -kInf, -18, -7.5f},
                                                               {expanding, kNaN, -12, 0},
                                                               {expanding, kInf, 0, 0}};
    for (const auto& [settings, fault, duringDb, settledDb] : cases) {
        SCOPED_TRACE(fault);
        Rig rig(settings);
        EXPECT_NEAR(rig.run(1.0f, -26.0f).back(), settledDb, 0.01f);
        rig.input.amplitude = fault;
        std::vector<float> g = rig.gainsDb(2.0f);
        EXPECT_NEAR(g.back(), duringDb, 0.01f);
        const std::vector<float> after = rig.run(3.0f, -26.0f);
        EXPECT_NEAR(after.back(), settledDb, 0.01f);
        g.insert(g.end(), after.begin(), after.end());
        EXPECT_TRUE(std::all_of(g.begin(), g.end(), [](float x) { return std::isfinite(x); }));
    }
}

// Every setting changes in turn on every channel while sharing starts and stops.
TEST(BandCompander, NoAllocationWhileSettingsAndSharingChange) {
    StereoRig rig({});
    std::minstd_rand random(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    Settings settings;
    const std::function<void(float)> changes[] = {
        [&](float x) { settings.attackPercent = 100.0f * x; },
        [&](float x) { settings.releasePercent = 100.0f * x; },
        [&](float x) { settings.rangeDb = 48.0f * x - 24.0f; },  // flips the direction
        [&](float x) { settings.mode = x < 0.5f ? Mode::kCompression : Mode::kExpansion; },
        [&](float x) { settings.thresholdDb = -60.0f * x; },
        [&](float x) { settings.lookaheadMs = 20.0f * x; },
        [&](float x) { settings.lowOctaves = 4.4f + 5.0f * x; },
        [&](float x) { settings.mix = 2.0f * x; },
        [&](float x) { settings.lookahead = x < 0.5f; },
    };
    int32_t sharedBlocks = 0, finiteBlocks = 0;
    const std::uint64_t allocations = testing::steadyStateAllocations(20, 1200, [&](int block) {
        if (block >= 20 && block % 4 == 0) {
            changes[(block / 4) % 9](u(random));
            for (BandCompander* k : {&rig.first, &rig.second, &rig.alone})
                settings.applyTo(*k);
        }
        rig.right.scale = (block / 100) % 2 == 0 ? 1.0f : 1.1f;  // sharing starts and stops
        rig.env.beginCycle();  // pulled by hand: the cycle helpers allocate their results
        bool finite = true;
        for (BandCompander* k : {&rig.second, &rig.first, &rig.alone})
            finite &= std::isfinite(k->pull(kBlock)->data()[kBlock - 1]);
        rig.env.advance(kBlock, 0);
        finiteBlocks += finite ? 1 : 0;
        sharedBlocks += rig.second.isSharing() ? 1 : 0;
    });
    EXPECT_TRUE(allocations == 0u && finiteBlocks == 1220) << allocations << " " << finiteBlocks;
    EXPECT_TRUE(sharedBlocks > 100 && sharedBlocks < 1100) << sharedBlocks;
}

}  // namespace
}  // namespace tessel
