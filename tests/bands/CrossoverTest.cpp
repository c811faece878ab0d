// Crossovers and the band splitter: halves, slopes, refresh, jumps, flat sums, no allocation.

#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "BandsTestRig.h"
#include "bands/CrossoverFilter.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/EQFilter.h"
#include "bands/FloatingMultiBandModel.h"
#include "bands/MultiBand.h"
#include "common/AllocationCounter.h"
#include "common/StepMeter.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing
using Slope = CrossoverFilter::Slope;
using Response = CrossoverFilter::Response;
using Proto = AnalogFilterPrototype;
constexpr Slope kSlopes[] = {Slope::k6DbPerOctave, Slope::k12DbPerOctave, Slope::k24DbPerOctave,
                             Slope::k36DbPerOctave, Slope::k48DbPerOctave};

/// Linkwitz-Riley half of order N in dB (N = 1: 1 / sqrt(1 + w^2)), w the prewarped ratio.
double theoreticalDb(int32_t order, Response response, double frequencyHz, double crossoverHz) {
    double w =
        std::tan(kPi * frequencyHz / kSampleRate) / std::tan(kPi * crossoverHz / kSampleRate);
    if (response == Response::kHighPass) w = 1.0 / w;
    if (order == 1) return -10.0 * std::log10(1.0 + w * w);
    return -20.0 * std::log10(1.0 + std::pow(w, order));
}

// Halves sum to the all-pass (flat 0.01 dB), cross at -6 dB (-3 at 6 dB/oct), follow LR levels;
// the high-pass is -1 at Nyquist at 12 and 36 dB/oct only.
TEST(CrossoverFilter, HalvesFollowTheirSlopeAndSumToTheirAllPass) {
    constexpr int32_t kLength = 16384;
    for (const Slope slope : kSlopes) {
        const int32_t order = CrossoverFilter::orderOf(slope);
        for (const double hz : {60.0, 1000.0, 12000.0}) {
            SCOPED_TRACE(::testing::Message() << order << "th order at " << hz << " Hz");
            Rig rig;
            PatternSource input(&rig.env, impulse(kLength));
            CrossoverFilter low(&rig.env, Response::kLowPass, slope),
                high(&rig.env, Response::kHighPass, slope),
                allPass(&rig.env, Response::kAllPass, slope);
            for (CrossoverFilter* f : {&low, &high, &allPass}) {
                f->setInput(&input);
                f->frequencyOctaves().parameter().setValue(static_cast<float>(std::log2(hz)), 0);
            }
            const auto h = render(rig, {&low, &high, &allPass}, kLength);
            std::vector<double> sum(kLength);
            for (int32_t n = 0; n < kLength; ++n) {
                sum[n] = h[0][n] + h[1][n];
                ASSERT_NEAR(sum[n], order == 1 ? (n == 0 ? 1.0 : 0.0) : h[2][n], 2e-6) << n;
            }
            EXPECT_LT(largestDeviationDb(sum, kSampleRate), 0.01);
            for (const int side : {0, 1}) {
                const Response r = side == 0 ? Response::kLowPass : Response::kHighPass;
                EXPECT_NEAR(db(responseAt(h[side], hz)), order == 1 ? -3.01 : -6.02, 0.02);
                for (const double ratio : {0.125, 0.25, 0.5, 0.8, 1.25, 2.0, 4.0, 8.0}) {
                    const double expected = theoreticalDb(order, r, hz * ratio, hz);
                    if (expected < -100.0 || hz != 1000.0) continue;  // below float resolution
                    const double tolerance = expected > -60.0 ? 0.02 : 0.3;
                    EXPECT_NEAR(db(responseAt(h[side], hz * ratio)), expected, tolerance) << side;
                }
            }
            const bool inverted = order == 2 || order == 6;
            EXPECT_NEAR(responseAt(h[1], kSampleRate / 2.0).real(), inverted ? -1.0 : 1.0, 1e-6);
            EXPECT_NEAR(responseAt(h[0], 0.0).real(), 1.0, 1e-6);
            EXPECT_EQ(high.inverted(), inverted);
        }
    }
}

TEST(CrossoverFilter, ModelSlopesMapByThresholds) {
    const float dbPerOctave[] = {1.0f, 8.9f, 9.0f, 17.9f, 18.0f, 29.9f, 30.0f, 41.9f, 42.0f, 48};
    for (int32_t i = 0; i < 10; ++i)
        EXPECT_EQ(CrossoverFilter::slopeForDbPerOctave(dbPerOctave[i]), kSlopes[i / 2]) << i;
}

// Refresh rule: steady designs nothing, slow sweeps every 32 samples, fast on the 4-sample grid;
// a jump of more than 0.1 octave takes effect at the next multiple of 4 samples, not before.
template <typename Filter>
void expectRefreshSchedule(Rig& rig, Filter& filter) {
    const auto designsIn = [&](int32_t samples) {
        const int64_t before = filter.designCount();
        render(rig, {&filter}, samples);
        return filter.designCount() - before;
    };
    designsIn(kBlock);
    EXPECT_EQ(designsIn(4 * kBlock), 0);
    filter.frequencyOctaves().parameter().setValue(9.0f, 0.0f);
    EXPECT_EQ(designsIn(kBlock), 1);
    filter.frequencyOctaves().parameter().setValue(9.05f, 100.0f);  // 0.013 octave per block
    designsIn(kBlock);
    EXPECT_EQ(designsIn(kBlock), kBlock / 32);
    filter.frequencyOctaves().parameter().setValue(13.0f, 5.0f);  // 4 octaves in 5 ms
    const int64_t fast = designsIn(kBlock);
    EXPECT_GT(fast, kBlock / 32);
    EXPECT_LE(fast, kBlock / 4);
}

TEST(CrossoverFilter, RefreshSchedulesOfCrossoversAndEqualisersFollowOneRule) {
    Rig rig;
    PatternSource input(&rig.env, {0.5f, -0.25f, 0.75f});
    CrossoverFilter crossover(&rig.env, Response::kHighPass, Slope::k24DbPerOctave);
    EQFilter eq(&rig.env);
    crossover.setInput(&input), eq.setInput(&input);
    expectRefreshSchedule(rig, crossover), expectRefreshSchedule(rig, eq);
    for (const int32_t step : {37, 64, 65, 130}) {
        Rig jumpRig;
        std::mt19937 rng(7);
        std::vector<float> frequency(512, 10.0f);
        std::fill(frequency.begin() + step, frequency.end(), 12.0f);
        PatternSource noiseInput(&jumpRig.env, noise(rng, 512)), moving(&jumpRig.env, frequency);
        ConstantSource held(&jumpRig.env, 10.0f);
        CrossoverFilter a(&jumpRig.env, Response::kLowPass, Slope::k48DbPerOctave),
            b(&jumpRig.env, Response::kLowPass, Slope::k48DbPerOctave);
        a.setInput(&noiseInput), b.setInput(&noiseInput);
        a.setFrequencySource(&moving);
        b.setFrequencySource(&held);
        const auto y = render(jumpRig, {&a, &b}, kBlock);
        const int32_t effect = (step + 3) / 4 * 4;
        for (int32_t n = 0; n < effect; ++n)
            ASSERT_EQ(y[0][n], y[1][n]) << "step at " << step << ", sample " << n;
        EXPECT_NE(y[0][effect], y[1][effect]) << "step at " << step;
    }
}

// Noise of peak 1, frequency jumping 8 Hz .. 32 kHz: crossovers and equaliser bands stay within 4x
// the input's peak (bands times their largest gain).
TEST(BandFilters, RandomFrequencyJumpsKeepTheOutputWithinFourTimesTheInput) {
    const auto peak = [](Rig& rig, wave::Producer& node, const std::function<void()>& move) {
        StepMeter meter;  // a non-finite sample reads as an infinite peak
        for (int32_t block = 0; block < 48000 / kBlock; ++block) {
            move();
            const std::vector<double> y = render(rig, {&node}, kBlock)[0];
            for (const double v : y)
                meter.add(static_cast<float>(v));
        }
        return meter.peak;
    };
    for (int32_t i = 0; i < 15; ++i) {
        const Slope slope = kSlopes[i / 3];
        const Response response = static_cast<Response>(i % 3);
        std::mt19937 rng(static_cast<unsigned>(i));
        Rig rig;
        PatternSource input(&rig.env, noise(rng, 48000));
        PatternSource frequency(&rig.env, jumps(rng, 48000, 3.0f, 15.0f, 576));
        CrossoverFilter filter(&rig.env, response, slope);
        filter.setInput(&input), filter.setFrequencySource(&frequency);
        EXPECT_LT(peak(rig, filter, [] {}), 4.0) << "crossover " << i;
    }
    for (int32_t i = 0; i < 13 * 4 * 3; ++i) {
        const int32_t shape = i / 12, slope = std::array{1, 3, 6, 9}[i / 3 % 4],
                      calculation = i % 3;
        std::mt19937 rng(static_cast<unsigned>(i));
        Rig rig;
        PatternSource input(&rig.env, noise(rng, 48000));
        EQFilter eq(&rig.env);
        eq.setInput(&input);
        setDesign(eq, shape, slope, calculation);
        eq.gainDb().parameter().setValue(12.0f, 0.0f);
        eq.q().parameter().setValue(2.0f, 0.0f);
        std::uniform_real_distribution<float> octaves(3.0f, 15.0f);
        const double p = peak(rig, eq, [&] {
            if (rng() % 2) eq.frequencyOctaves().parameter().setValue(octaves(rng), rng() % 4);
        });
        const Proto& design = eq.prototype();
        double largestGain = 0.0;
        for (double f = 1e-3; f < 1e3; f *= 1.005)
            largestGain =
                std::max(largestGain, design.squaredMagnitude(f / design.frequencyScale()));
        EXPECT_LT(p / std::sqrt(largestGain), 4.0) << "band " << i;
    }
}

TEST(MultiBand, OutputsSumFlatForRandomLayouts) {
    constexpr int32_t kLength = 32768;
    int largestTree = 0;
    for (int seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937 rng(static_cast<unsigned>(seed));
        Rig rig;
        CrossoverMultiBandModel model;
        FloatingMultiBandModel layout(&model);
        randomLayout(layout, rng, seed % 4 == 0);
        PatternSource input(&rig.env, impulse(kLength));
        MultiBand split(&rig.env, &model);
        split.setInput(&input);
        const int32_t bands = model.bandCount();
        largestTree = std::max(largestTree, bands);
        EXPECT_EQ(split.allPassesInUse(), MultiBand::allPassPoolSize(bands - 1));
        for (int32_t k = 0; k + 1 < bands; ++k)  // the model's slopes run in the crossovers
            EXPECT_EQ(split.crossover(k).half(1).slope().get(),
                      CrossoverFilter::slopeForDbPerOctave(model.crossover(k).slopeDbPerOctave()));
        std::vector<wave::Producer*> outputs;
        for (int32_t j = 0; j < bands; ++j)
            outputs.push_back(split.output(j));
        const auto h = render(rig, outputs, kLength);
        std::vector<double> sum(kLength, 0.0);
        for (const auto& band : h)
            for (int32_t n = 0; n < kLength; ++n)
                sum[n] += band[n];
        EXPECT_LT(largestDeviationDb(sum, kSampleRate), 0.01) << bands << " model bands";
        // Output j is model band j: well inside a band of an octave or more, it is the loudest.
        for (int32_t j = 1; j + 1 < bands; ++j) {
            const float lo = model.crossover(j - 1).frequencyOctaves().get();
            const float hi = model.crossover(j).frequencyOctaves().get();
            const double centreHz = std::exp2(0.5 * (lo + hi));
            if (hi - lo < 1.0f || centreHz > 16000.0) continue;
            for (int32_t other = 0; other < bands; ++other)
                EXPECT_TRUE(other == j || std::abs(responseAt(h[j], centreHz)) >
                                              std::abs(responseAt(h[other], centreHz)))
                    << j << " vs " << other;
        }
    }
    EXPECT_EQ(largestTree, 13);  // the six bands with gaps
    EXPECT_EQ(MultiBand::allPassPoolSize(12), 25);
    // With one band the output is the input block itself.
    Rig rig;
    CrossoverMultiBandModel model;
    PatternSource input(&rig.env, {0.5f, -0.25f});
    MultiBand split(&rig.env, &model);
    split.setInput(&input);
    EXPECT_EQ(pullCycle(rig.env, kBlock, {split.output(0)})[0], input.outputBlock());
}

// Four bands on a 100 Hz sine: gliding edges and slopes step the sum little more than the sine.
TEST(MultiBand, MovingBandsStayBoundedClickFreeAndAllocateNothing) {
    Rig rig;
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout(&model);
    const double sineStep = 2.0 * std::sin(kPi * 100.0 / 48000.0);
    PatternSource input(&rig.env, sine(100.0, 480));
    MultiBand split(&rig.env, &model);
    split.setInput(&input);
    for (int b = 0; b < 4; ++b) {
        layout.band(b).used() = true;
        layout.band(b).setRange(6.0f + 2.0f * b, 7.2f + 2.0f * b);
    }
    double peak = 0.0, previous = 0.0, glideStep = 0.0, slopeStep = 0.0;
    int32_t fewestBands = split.bandCount(), mostBands = fewestBands;
    const uint64_t allocations = steadyStateAllocations(40, 300, [&](int cycle) {
        const int i = cycle - 40;  // settling, 200 gliding, 40 slope and 60 count changes
        if (i >= 0 && i < 200) {
            const float t = 0.5f * std::sin(0.05f * static_cast<float>(i));
            layout.band(1).setRange(8.0f + t, 9.2f + t);
            layout.band(2).highFrequencyOctaves() = 11.2f - t;
        } else if (i >= 200 && i < 240 && i % 4 == 0) {
            const float slopes[] = {12.0f, 48.0f, 6.0f, 36.0f, 24.0f};
            layout.band(1).lowSlopeDbPerOctave() = slopes[(i / 4) % 5];
            layout.band(2).highSlopeDbPerOctave() = slopes[(i / 4 + 2) % 5];
        } else if (i >= 240) {
            layout.band(i % 4).lowSlopeDbPerOctave() = static_cast<float>(1 + (i * 7) % 48);
            layout.band(i % 4).highSlopeDbPerOctave() = static_cast<float>(1 + (i * 11) % 48);
            if (i % 10 == 3) layout.band(3).used() = !layout.band(3).used();
            if (i % 10 == 7) layout.band(0).setRange(4.9f, i % 20 < 10 ? 7.9f : 7.0f);
            fewestBands = std::min(fewestBands, split.bandCount());
            mostBands = std::max(mostBands, split.bandCount());
        }
        rig.env.beginCycle();  // pulled by hand: the rig's render allocates
        for (int32_t n = 0; n < kBlock; ++n) {
            double sum = 0.0;
            for (int32_t j = 0; j < split.bandCount(); ++j) {
                const float y = split.output(j)->pull(kBlock)->data()[n];
                peak = std::max(peak, std::isfinite(y) ? std::fabs(y) : 1e9);
                sum += y;
            }
            double& step = i < 200 ? glideStep : slopeStep;
            if (i >= 0 && i < 240) step = std::max(step, std::fabs(sum - previous));
            previous = sum;
        }
        rig.env.advance(kBlock, 0);
    });
    EXPECT_LT(glideStep, 1.3 * sineStep);
    EXPECT_GT(glideStep, 0.5 * sineStep);
    EXPECT_LT(slopeStep, 1.3 * sineStep);
    EXPECT_EQ(allocations, 0u);
    EXPECT_LT(fewestBands, mostBands);
    EXPECT_LT(peak, 4.0);  // filter resets and steep slopes may overshoot, but stay bounded
}

}  // namespace
}  // namespace tessel
