// The side-chain filter: make-up gain, cut-offs and their off-limits, audition level, the band's
// choice of detection signal, and moving frequencies on the audio thread.

#include "dynamics/SideChainFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "common/Spectrum.h"

namespace tessel {
namespace {

struct SideChain {
    explicit SideChain(float lowHz = 30.0f, float highHz = 30000.0f, int32_t slope = 3,
                       std::vector<float> input = {0.0f})
        : source(&rig.env, std::move(input)), sc(&rig.env) {
        sc.setInput(&source);
        sc.lowFrequencyOctaves() = std::log2(lowHz);
        sc.highFrequencyOctaves() = std::log2(highHz);
        sc.highPassSlope() = static_cast<EQFilter::Slope>(slope);
        sc.lowPassSlope() = static_cast<EQFilter::Slope>(slope);
    }
    // dB at hz from the impulse response once the controls have settled.
    double levelDb(double hz) {
        rig.render(sc, 8192);
        source.pattern.assign(8192, 0.0f);  // the impulse arrives at the next multiple of 8192
        source.pattern[0] = 1.0f;
        const auto h = rig.render(sc, 16384);
        return testing::db(testing::responseAt(std::vector<float>(h.begin() + 8192, h.end()), hz,
                                               rig.env.sampleRate()));
    }
    testing::GraphRig rig{256, 48000.0f};
    testing::PatternSource source;
    SideChainFilter sc;
};

// Make-up gain, the bell's Q control (the equaliser limits it to 10) and the audition gain of Free
// filtering, for pass bands of several widths and slopes (6 dB/oct counts the width's root); a
// negative width counts as none; with a cut switched off there is neither boost nor correction.
TEST(SideChainFilter, MakeUpGainFollowsPassBandWidthAndAuditionRemovesIt) {
    const std::tuple<float, float, int32_t, float> cases[] = {
        {500, 1000, 3, 6.25f},  {500, 1000, 0, 6.25f},         {500, 8000, 0, 0.0f},
        {500, 2000, 6, 0.0f},   {500, 1414.2136f, 0, 3.7564f}, {1000, 1000, 3, 25.0f},
        {2000, 1000, 1, 25.0f}, {500, 707.1068f, 3, 14.0625f}};
    for (const auto& [lowHz, highHz, slope, gainDb] : cases) {
        SideChain s(lowHz, highHz, slope);
        SCOPED_TRACE(::testing::Message() << lowHz << ".." << highHz << " slope " << slope);
        EXPECT_NEAR(s.sc.middle().gainDb().parameter().target(), gainDb, 1e-3);
        EXPECT_NEAR(s.sc.middle().q().parameter().target(),
                    std::min(std::max(gainDb * gainDb * 0.024f, 0.025f), 10.0f), 1e-4);
        EXPECT_NEAR(20.0f * std::log10(s.sc.auditionGain(SideChainFiltering::kFree)), -gainDb,
                    1e-3);
        EXPECT_EQ(s.sc.auditionGain(SideChainFiltering::kBand), 1.0f);
        s.sc.lowPassEnabled() = false;
        EXPECT_TRUE(s.sc.compensationDb() == 0.0f &&
                    s.sc.auditionGain(SideChainFiltering::kFree) == 1.0f);
    }
}

// Measured: the defaults (at the off-limits) pass the signal untouched; the cuts fall at their
// slopes; the bell adds exactly its make-up gain at the pass band's centre.
TEST(SideChainFilter, CutsFallAtTheirSlopesAndTheBellAddsItsGainAtTheCentre) {
    SideChain open(30.0f, 30000.0f, 3, testing::ramp(4096, -2048.0f));
    EXPECT_EQ(open.rig.render(open.sc, 4096), testing::ramp(4096, -2048.0f));
    for (const auto& [hz, db] : {std::pair{25.0, -48.0}, {450.0, 0.0}, {8000.0, -48.0}})
        EXPECT_NEAR(SideChain(100.0f, 2000.0f).levelDb(hz), db, 0.5) << hz;  // 24 dB/oct cuts
    SideChain boosted(500.0f, 1000.0f), plain(500.0f, 1000.0f);
    plain.sc.automaticCompensation() = false;
    plain.sc.middleEnabled() = false;
    const double centre = std::sqrt(500.0 * 1000.0);
    EXPECT_NEAR(boosted.levelDb(centre) - plain.levelDb(centre), 6.25, 0.05);
}

// The band's choice: Expert Mode off always detects the band itself; Band filtering with the
// external input follows the band's crossovers, every other case the free frequencies.
TEST(SideChainFilter, BandSelectsItsDetectionSignalAndCutOffs) {
    using F = SideChainFiltering;
    using I = GenericPluginBase::InputSignal;
    const std::tuple<bool, F, I, bool, bool> cases[] = {
        // expert, filtering, input -> side chain,
        {false, F::kFree, I::kExternalInput, false, false},  // follows the band
        {false, F::kBand, I::kExternalInput, false, true},
        {true, F::kBand, I::kPluginInput, false, false},
        {true, F::kFree, I::kPluginInput, true, false},
        {true, F::kBand, I::kExternalInput, true, true},
        {true, F::kFree, I::kExternalInput, true, false}};
    for (const auto& [expert, filtering, input, sideChain, followsBand] : cases) {
        const auto s =
            SideChainFilter::select({expert, filtering, input, 8.0f, 10.0f, 6.0f, 12.0f});
        EXPECT_TRUE(s.detectSideChain == sideChain &&
                    s.externalInput == (input == I::kExternalInput) &&
                    s.lowOctaves == (followsBand ? 8.0f : 6.0f) &&
                    s.highOctaves == (followsBand ? 10.0f : 12.0f))
            << expert << int(filtering) << int(input);
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
    SideChain s(30.0f, 30000.0f, 3, noise);
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
