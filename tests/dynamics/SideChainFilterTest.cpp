// The side-chain filter: make-up gain, cut-offs and their off-limits, audition level, the band's
// choice of detection signal, and moving frequencies on the audio thread.

#include "dynamics/SideChainFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "common/Spectrum.h"

namespace tessel {
namespace {

constexpr float kRate = 48000.0f;
constexpr int32_t kLength = 16384;

struct SideChain {
    explicit SideChain(std::vector<float> input)
        : source(&rig.env, std::move(input)), sc(&rig.env) {
        sc.setInput(&source);
    }
    void cuts(float lowHz, float highHz, int32_t slope = EQFilter::k24DbPerOctave) {
        sc.lowFrequencyOctaves() = std::log2(lowHz);
        sc.highFrequencyOctaves() = std::log2(highHz);
        sc.highPassSlope() = slope;
        sc.lowPassSlope() = slope;
    }
    // dB at each frequency, from the impulse response once the controls have settled.
    std::vector<double> levelsDb(std::initializer_list<double> hz) {
        rig.render(sc, 8192);  // ramps settle, the impulse comes afterwards
        std::vector<float> pulse(kLength, 0.0f);
        pulse[0] = 1.0f;
        source.pattern = pulse;
        const auto h = rig.render(sc, 8192 + kLength);
        const std::vector<float> tail(h.begin() + 8192, h.end());
        std::vector<double> out;
        for (double f : hz)
            out.push_back(testing::db(testing::responseAt(tail, f, kRate)));
        return out;
    }
    testing::GraphRig rig{256, kRate};
    testing::PatternSource source;
    SideChainFilter sc;
};

// Make-up gain (dB), the middle bell's Q control (the equaliser limits it to 10) and the audition
// gain of Free filtering, for pass bands of various widths and slopes; a negative width counts as
// none.
TEST(SideChainFilter, MakeUpGainFollowsPassBandWidthAndAuditionRemovesIt) {
    struct Case {
        float lowHz, highHz;
        int32_t slope;
        float gainDb;
    } const cases[] = {
        {500, 1000, EQFilter::k24DbPerOctave, 6.25f},
        {500, 1000, EQFilter::k6DbPerOctave, 6.25f},
        {500, 8000, EQFilter::k6DbPerOctave, 0.0f},
        {500, 2000, EQFilter::k48DbPerOctave, 0.0f},
        {500, 1414.2136f, EQFilter::k6DbPerOctave, 3.7564f},
        {1000, 1000, EQFilter::k24DbPerOctave, 25.0f},
        {2000, 1000, EQFilter::k12DbPerOctave, 25.0f},
        {500, 707.1068f, EQFilter::k24DbPerOctave, 14.0625f},
    };
    for (const Case& c : cases) {
        SideChain s({0.0f});
        s.cuts(c.lowHz, c.highHz, c.slope);
        SCOPED_TRACE(::testing::Message() << c.lowHz << ".." << c.highHz << " slope " << c.slope);
        EXPECT_NEAR(s.sc.compensationDb(), c.gainDb, 1e-3);
        EXPECT_NEAR(s.sc.middle().gainDb().parameter().target(), c.gainDb, 1e-3);
        const float qControl = std::max(c.gainDb * c.gainDb * 0.024f, 0.025f);
        EXPECT_NEAR(s.sc.middle().q().parameter().target(), std::min(qControl, 10.0f), 1e-4);
        EXPECT_NEAR(20.0f * std::log10(s.sc.auditionGain(SideChainFiltering::kFree)), -c.gainDb,
                    1e-3);
        EXPECT_EQ(s.sc.auditionGain(SideChainFiltering::kBand), 1.0f);
        s.sc.lowPassEnabled() = false;  // one cut off: no make-up, no audition correction
        EXPECT_EQ(s.sc.compensationDb(), 0.0f);
        EXPECT_EQ(s.sc.auditionGain(SideChainFiltering::kFree), 1.0f);
    }
}

// Measured: the defaults (30 Hz .. 30 kHz, at the off-limits) pass the signal untouched; the cuts
// fall at their slopes; the bell adds exactly its make-up gain at the pass band's centre.
TEST(SideChainFilter, CutsFallAtTheirSlopesAndTheBellAddsItsGainAtTheCentre) {
    {
        SideChain s(testing::ramp(4096, -2048.0f));
        const auto out = s.rig.render(s.sc, 4096);
        for (int32_t n = 0; n < 4096; n += 7)
            ASSERT_EQ(out[n], n - 2048.0f) << n;
    }
    SideChain narrow({0.0f});
    narrow.cuts(100.0f, 2000.0f);
    const auto cut = narrow.levelsDb({25.0, 450.0, 8000.0});
    EXPECT_NEAR(cut[0], -48.0, 0.5);  // two octaves below the high-pass, 24 dB/octave
    EXPECT_NEAR(cut[1], 0.0, 0.2);    // more than two octaves wide: no make-up
    EXPECT_NEAR(cut[2], -48.0, 0.5);

    SideChain boosted({0.0f}), plain({0.0f});
    boosted.cuts(500.0f, 1000.0f);
    plain.cuts(500.0f, 1000.0f);
    plain.sc.automaticCompensation() = false;
    plain.sc.middleEnabled() = false;
    const double centre = std::sqrt(500.0 * 1000.0);
    EXPECT_NEAR(boosted.levelsDb({centre})[0] - plain.levelsDb({centre})[0], 6.25, 0.05);
}

// The band's choice: Expert Mode off always detects the band itself; Band filtering with the
// external input follows the band's crossovers, every other case the free frequencies.
TEST(SideChainFilter, BandSelectsItsDetectionSignalAndCutOffs) {
    using F = SideChainFiltering;
    using I = GenericPluginBase::InputSignal;
    struct Case {
        bool expert;
        F filtering;
        I input;
        bool detectSideChain, followsBand;
    } const cases[] = {
        {false, F::kFree, I::kExternalInput, false, false},
        {false, F::kBand, I::kExternalInput, false, true},
        {true, F::kBand, I::kPluginInput, false, false},
        {true, F::kFree, I::kPluginInput, true, false},
        {true, F::kBand, I::kExternalInput, true, true},
        {true, F::kFree, I::kExternalInput, true, false},
    };
    for (const Case& c : cases) {
        const auto s =
            SideChainFilter::select({c.expert, c.filtering, c.input, 8.0f, 10.0f, 6.0f, 12.0f});
        EXPECT_EQ(s.detectSideChain, c.detectSideChain) << &c - cases;
        EXPECT_EQ(s.externalInput, c.input == I::kExternalInput) << &c - cases;
        EXPECT_EQ(s.lowOctaves, c.followsBand ? 8.0f : 6.0f) << &c - cases;
        EXPECT_EQ(s.highOctaves, c.followsBand ? 10.0f : 12.0f) << &c - cases;
    }
}

// A band's crossovers moving under noise, with jumps and a NaN among them: output stays finite
// and bounded, and the audio thread never allocates.
TEST(SideChainFilter, MovingCutOffsStayBoundedAndAllocationFree) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f), octave(4.0f, 15.5f);
    std::vector<float> noise(48000);
    for (float& x : noise)
        x = u(rng);
    SideChain s(noise);
    float peak = 0.0f;
    const auto allocations = testing::steadyStateAllocations(20, 400, [&](int i) {
        if (i % 3 == 0) {
            const float a = octave(rng), b = octave(rng);
            s.sc.lowFrequencyOctaves() = i == 99 ? testing::kNaN : std::min(a, b);
            s.sc.highFrequencyOctaves() = std::max(a, b);
        }
        s.rig.env.beginCycle();
        const float* out = s.sc.pull(s.rig.block)->data();
        for (int32_t n = 0; n < s.rig.block; ++n)
            peak = std::isfinite(out[n]) ? std::max(peak, std::fabs(out[n])) : testing::kInf;
        s.rig.env.advance(s.rig.block, 0);
    });
    EXPECT_EQ(allocations, 0u);
    EXPECT_LT(peak, 40.0f);  // up to +25 dB of make-up (17.8x) on noise of peak 1
}

}  // namespace
}  // namespace tessel
