// The dynamic-phase shelving stage: ideal response, shortcuts, moving controls, stereo, enabling.

#include "dynamics/ShelfBand.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "common/Spectrum.h"
#include "common/StepMeter.h"
#include "support/Octave.h"

namespace tessel {
namespace {

using testing::PatternSource;

struct Stage {
    explicit Stage(std::vector<float> input, float gain = 1.0f, float slope = 24.0f)
        : source(&rig.env, std::move(input)), band(&rig.env) {
        band.setInput(&source);
        limit(band);
        set(250.0f, 4000.0f, slope, gain);
    }
    static void limit(ShelfBand& b) {
        b.lowerFrequencyLimitOctaves() = static_cast<float>(kOctave30Hz);
        b.upperFrequencyLimitOctaves() = static_cast<float>(kOctave30kHz);
    }
    static void set(ShelfBand& b, float lowHz, float highHz, float slope, float gain, float ms) {
        b.lowerFrequencyOctaves().parameter().setValue(std::log2(lowHz), ms);
        b.upperFrequencyOctaves().parameter().setValue(std::log2(highHz), ms);
        b.lowerSlopeDbPerOctave().parameter().setValue(slope, ms);
        b.upperSlopeDbPerOctave().parameter().setValue(slope, ms);
        b.gain().parameter().setValue(gain, ms);
    }
    void set(float lowHz, float highHz, float slope, float gain, float ms = 0.0f) {
        set(band, lowHz, highHz, slope, gain, ms);
    }
    testing::GraphRig rig{256, 48000.0f};
    PatternSource source;
    ShelfBand band;
};

// Worst |measured - ideal| dB, 20 Hz .. 20 kHz, 250 Hz .. 4 kHz band; ideal: the prewarped
// 1 + (g - 1) / ((1 + (fL/f)^(S/6)) (1 + (f/fU)^(S/6))).
double worstDeviationDb(float slope, float gainDb) {
    constexpr int32_t kLength = 16384;
    Stage s(testing::impulse(kLength), std::pow(10.0f, gainDb / 20.0f), slope);
    const auto x = testing::spectrum(s.rig.render(s.band, kLength));
    const auto warp = [](double hz) { return std::tan(3.141592653589793 * hz / 48000.0); };
    double worst = 0.0;
    for (std::size_t k = 7; k * 48000 < 20000 * kLength; ++k) {
        const double w = warp(static_cast<double>(k) * 48000.0 / kLength);
        const double band = 1.0 / ((1.0 + std::pow(warp(250.0) / w, slope / 6.0)) *
                                   (1.0 + std::pow(w / warp(4000.0), slope / 6.0)));
        const double ideal = 20.0 * std::log10(1.0 + (std::pow(10.0, gainDb / 20.0) - 1.0) * band);
        worst = std::max(worst, std::fabs(testing::db(x[k]) - ideal));
    }
    return worst;
}

// Limits over measured worsts. 6 dB/oct boosts (8.4 dB, at both skirts alike, not near Nyquist):
// the corner adjustment pulls the two first-order corners toward the band centre to meet the ideal
// centre level, and first-order skirts cannot follow the ideal's.
TEST(ShelfBand, MatchesIdealBandShelfOverSlopesAndGains) {
    // clang-format off
    struct Case { float slope; double cutLimitDb, boostLimitDb; };
    for (const Case c : {Case{6, 2.0, 8.5}, Case{9, 2.0, 2.0}, Case{12, 2.0, 0.1}, Case{15, 1.2, 0.3},
          Case{18, 0.5, 0.5}, Case{21, 0.6, 0.4}, Case{24, 0.3, 0.05}, Case{30, 0.35, 0.35},
          Case{36, 0.05, 0.05}, Case{42, 0.15, 0.15}, Case{48, 0.05, 0.05}})
        // clang-format on
        for (const float gainDb : {-30.0f, -12.0f, 12.0f, 30.0f})
            EXPECT_LT(worstDeviationDb(c.slope, gainDb), gainDb < 0 ? c.cutLimitDb : c.boostLimitDb)
                << c.slope << " dB/oct, " << gainDb << " dB";
}

TEST(ShelfBand, UnityGainAndDisablingPassBlockOnAndWholeSpectrumIsOneMultiply) {
    Stage s(testing::ramp(256, -100.0f));
    auto blocks = testing::pullCycle(s.rig.env, 256, {&s.source, &s.band});
    EXPECT_EQ(blocks[0], blocks[1]);
    s.set(30.0f, 30000.0f, 24.0f, 0.3f);
    const auto whole = s.rig.render(s.band, 256);
    for (std::size_t i = 0; i < whole.size(); ++i)
        ASSERT_EQ(whole[i], s.source.at(256 + static_cast<int64_t>(i)) * 0.3f) << i;
    EXPECT_EQ(s.band.designCount(), 0);
    s.set(250.0f, 4000.0f, 24.0f, 4.0f);  // disabled, a band fades to its input
    s.rig.render(s.band, 1536);
    s.band.enabled() = false;
    const auto fade = s.rig.render(s.band, 1024);  // 20 ms = 960 samples
    EXPECT_GT(std::fabs(fade[0] - s.source.at(2048)), 1.0f);
    EXPECT_EQ(fade[1000], s.source.at(3048));
    blocks = testing::pullCycle(s.rig.env, 256, {&s.source, &s.band});
    EXPECT_EQ(blocks[0], blocks[1]);
    // An upper edge at its limit has no sections: above a lower edge the band is the plain gain.
    Stage open(testing::impulse(4096), 4.0f);
    open.set(250.0f, 30000.0f, 24.0f, 4.0f);
    const auto x = testing::spectrum(open.rig.render(open.band, 4096));
    for (std::size_t k = 4096 * 4000 / 48000; k <= 2048; ++k)
        ASSERT_NEAR(testing::db(x[k]), 20.0 * std::log10(4.0), 0.001) << k;
}

// 60 Hz and 700 Hz at 48 kHz: smooth, so that a click stands out, with content below the edges.
std::vector<float> tones(std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = 0.6f * std::sin(0.00785f * i) + 0.2f * std::sin(0.0916f * i);
    return v;
}

// Leaving a shortcut, the cascades go on from the signal that went around them. Unity: the gain
// jumps off exactly 1 (constant blocks) to 0.25, against a twin that never paused (1 - 1e-6).
// Whole spectrum: at gain 0.25 the upper edge leaves its limit for 8 kHz.
TEST(ShelfBand, LeavingAShortcutContinuesWithoutAClick) {
    const std::vector<float> input = tones(256 * 64);
    Stage paused(input), running(input), whole(input);
    running.set(100.0f, 2000.0f, 24.0f, 0.999999f);
    paused.set(100.0f, 2000.0f, 24.0f, 1.0f);
    whole.set(30.0f, 30000.0f, 24.0f, 0.25f);
    testing::StepMeter difference, in, out;
    for (int32_t c = 0; c < 64; ++c) {
        if (c == 40) {
            paused.set(100.0f, 2000.0f, 24.0f, 0.25f);
            running.set(100.0f, 2000.0f, 24.0f, 0.25f);
            whole.band.upperFrequencyOctaves().parameter().setValue(std::log2(8000.0f), 0.0f);
        }
        const auto p = testing::runCycle(paused.rig.env, paused.band, 256);
        const auto r = testing::runCycle(running.rig.env, running.band, 256);
        const auto w = testing::runCycle(whole.rig.env, whole.band, 256);
        for (int32_t i = 0; i < 256; ++i)
            difference.add(p[i] - r[i]);
        if (c >= 32) out.add(w.data(), 256), in.add(input.data() + c * 256, 256);
    }
    // Measured 5e-7 and 0.25 times (the gain); restarting the cascades from silence: 0.072 and
    // 7.2 times.
    EXPECT_LT(difference.peak, 1e-5);
    EXPECT_LT(out.largestStep, 0.5 * in.largestStep);
}

// Other block sizes change nothing: the coefficients carried between blocks and batches, gain
// points and corner moves stay the same. The gain falls slowly (a point every other sample)
// through -2 dB, below which the corners of this narrow band move.
TEST(ShelfBand, BlockSizeDoesNotChangeTheOutput) {
    std::vector<float> gain(16384);
    for (std::size_t i = 0; i < gain.size(); ++i)
        gain[i] = 0.82f - 5e-6f * i;
    std::vector<std::vector<float>> outputs;
    for (const int32_t frames : {256, 37}) {
        Stage s(tones(16384));
        s.set(700.0f, 1400.0f, 24.0f, 1.0f);
        PatternSource gainSource(&s.rig.env, gain);
        s.band.setGainInput(&gainSource);
        outputs.push_back(testing::render(s.rig.env, s.band, 16384, frames));
    }
    for (std::size_t i = 0; i < gain.size(); ++i)
        ASSERT_EQ(outputs[0][i], outputs[1][i]) << i;
}

// A NaN or infinite gain and a NaN input sample pass; afterwards the stage is its twin again.
TEST(ShelfBand, NonFiniteGainOrInputLeavesNoTrace) {
    std::vector<float> gain(256 * 40, 0.5f);
    std::fill(gain.begin() + 4 * 256, gain.begin() + 5 * 256, testing::kNaN);
    std::fill(gain.begin() + 5 * 256, gain.begin() + 6 * 256, testing::kInf);
    Stage hit(tones(gain.size())), twin(tones(gain.size()), 0.5f);
    hit.source.pattern[6 * 256 + 7] = testing::kNaN;
    PatternSource gainSource(&hit.rig.env, gain);
    hit.band.setGainInput(&gainSource);
    for (int32_t c = 0; c < 40; ++c) {
        const auto h = testing::runCycle(hit.rig.env, hit.band, 256);
        const auto t = testing::runCycle(twin.rig.env, twin.band, 256);
        for (int32_t i = 0; i < 256 && c >= 7; ++i) {
            ASSERT_TRUE(std::isfinite(h[i])) << c << " " << i;
            if (c >= 30) {
                ASSERT_NEAR(h[i], t[i], 1e-5f) << c << " " << i;
            }
        }
    }
}

// A compander's gain (0.1 ms attack, 30 ms release, to -24 dB) on drums while both edges sweep.
TEST(ShelfBand, MovingGainIsBoundedClickFreeAndAllocationFree) {
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    constexpr int32_t kSamples = 48000;
    std::vector<float> drums(kSamples), gain(kSamples);
    float envelope = 0.0f;
    for (int32_t i = 0; i < kSamples; ++i) {
        drums[i] = noise(random) * std::exp(-(i % 4800) / 600.0f) + 0.1f * std::sin(0.01f * i);
        const float level = std::fabs(drums[i]);
        envelope = level > envelope ? envelope + 0.2f * (level - envelope) : envelope * 0.99993f;
        gain[i] = std::max(0.063f, 1.0f / (1.0f + 8.0f * envelope));
    }
    Stage s(drums, 1.0f, 48.0f);
    PatternSource gainSource(&s.rig.env, gain);
    s.band.setGainInput(&gainSource);
    testing::StepMeter in, out;
    const uint64_t allocations = testing::steadyStateAllocations(8, kSamples / 256 - 8, [&](int c) {
        if (c % 40 == 8)
            s.set(c % 80 ? 100.0f : 400.0f, c % 80 ? 2000.0f : 8000.0f, 12.0f + c % 37, 1.0f,
                  50.0f);
        s.rig.env.beginCycle();  // by hand: pullCycle's result vector would allocate
        out.add(s.band.pull(256)->data(), 256);
        s.rig.env.advance(256, 0);
        in.add(drums.data() + c * 256, 256);
    });
    EXPECT_EQ(allocations, 0u);
    // Measured 0.91 x input peak, 1.03 x its largest step; a click would stand far above.
    EXPECT_LT(out.peak, 1.1 * in.peak);
    EXPECT_LT(out.largestStep, 1.1 * in.largestStep);
    // Coefficients at every gain move, designs only while the edges sweep (every 32 samples).
    int64_t moves = 0;
    for (int32_t i = 1; i < kSamples / 256 * 256; ++i)
        moves += std::fabs(gain[i] - gain[i - 1]) > ShelfBand::kGainPointStep;
    EXPECT_GE(s.band.gainPointCount(), moves);
    EXPECT_LE(s.band.gainPointCount(), moves + s.band.designCount() + 1);
    EXPECT_GT(s.band.designCount(), 50);
    EXPECT_LT(s.band.designCount(), kSamples / 32 / 2);
}

TEST(ShelfBand, SmallGainMovesAndSteadyControlsMakeNoCoefficients) {
    std::vector<float> wobble(256);
    for (std::size_t i = 0; i < wobble.size(); ++i)
        wobble[i] = 0.5f + (i % 2 ? 7e-6f : 0.0f);
    Stage s(testing::ramp(256));
    PatternSource gainSource(&s.rig.env, wobble);
    s.band.setGainInput(&gainSource);
    s.rig.render(s.band, 256 * 20);
    EXPECT_EQ(s.band.designCount(), 1);
    EXPECT_EQ(s.band.gainPointCount(), 1);
}

TEST(ShelfBand, StereoPartnerSharesOneScheduleWithIdenticalOutput) {
    std::vector<float> left(4096), right(4096);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    for (std::size_t i = 0; i < left.size(); ++i)
        left[i] = uniform(random), right[i] = uniform(random);
    Stage solo(right, 0.2f, 36.0f), leader(left, 0.2f, 36.0f);
    PatternSource rightInput(&leader.rig.env, right);
    ShelfBand follower(&leader.rig.env);
    follower.setInput(&rightInput);
    Stage::limit(follower);
    follower.setPartner(&leader.band);
    for (int32_t cycle = 0; cycle < 16; ++cycle) {
        // Equal controls share; a different gain in cycles 6..9 separates the two.
        const float gain = cycle >= 6 && cycle < 10 ? 0.5f : 0.2f;
        leader.set(250.0f, 4000.0f, 36.0f - cycle % 3, 0.2f);
        solo.set(250.0f, 4000.0f, 36.0f - cycle % 3, gain);
        Stage::set(follower, 250.0f, 4000.0f, 36.0f - cycle % 3, gain, 0.0f);
        const auto pair = testing::pullCycle(leader.rig.env, 256, {&follower, &leader.band});
        const float* expected = testing::pullCycle(solo.rig.env, 256, {&solo.band})[0]->data();
        EXPECT_EQ(follower.sharedLastBlock(), gain == 0.2f) << cycle;
        for (int32_t i = 0; i < 256; ++i)
            ASSERT_NEAR(pair[0]->data()[i], expected[i], 1e-6f) << cycle << " " << i;
    }
}

}  // namespace
}  // namespace tessel
