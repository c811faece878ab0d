// The crossover filters and the minimum-phase band splitter: the halves of one crossover sum to
// its all-pass for every slope, the splitter's outputs sum flat for random layouts (impulse
// through the real graph, then an FFT), slope mapping and polarity, the refresh schedule under
// moving frequencies, and an allocation-free audio path while bands move and the tree rewires.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "bands/CrossoverFilter.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "bands/MultiBand.h"
#include "common/AllocationCounter.h"
#include "engine/TestSignals.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing
using Slope = CrossoverFilter::Slope;
using Response = CrossoverFilter::Response;

constexpr float kSampleRate = 48000.0f;
constexpr int32_t kBlock = 256;
constexpr double kPi = std::numbers::pi;
constexpr Slope kSlopes[] = {Slope::k6DbPerOctave, Slope::k12DbPerOctave, Slope::k24DbPerOctave,
                             Slope::k36DbPerOctave, Slope::k48DbPerOctave};

struct Rig {
    Rig() : env(kBlock, true) { env.setSampleRate(kSampleRate); }
    wave::Environment env;
};

std::vector<float> impulse(int32_t length) {
    std::vector<float> v(static_cast<std::size_t>(length), 0.0f);
    v[0] = 1.0f;
    return v;
}

/// In-place radix-2 FFT (size a power of two).
void fft(std::vector<std::complex<double>>& x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = x[i + k];
                const std::complex<double> v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
}

std::vector<std::complex<double>> spectrum(const std::vector<double>& h) {
    std::vector<std::complex<double>> x(h.begin(), h.end());
    fft(x);
    return x;
}

/// Largest |magnitude in dB| over the bins from 10 Hz to Nyquist.
double largestDeviationDb(const std::vector<double>& h) {
    const std::vector<std::complex<double>> x = spectrum(h);
    const std::size_t first = static_cast<std::size_t>(10.0 * x.size() / kSampleRate) + 1;
    double worst = 0.0;
    for (std::size_t k = first; k <= x.size() / 2; ++k)
        worst = std::max(worst, std::fabs(20.0 * std::log10(std::abs(x[k]))));
    return worst;
}

/// Response of h at one frequency (a plain DFT term).
std::complex<double> responseAt(const std::vector<double>& h, double frequencyHz) {
    std::complex<double> sum;
    const double w = 2.0 * kPi * frequencyHz / kSampleRate;
    for (std::size_t n = 0; n < h.size(); ++n)
        sum += h[n] * std::polar(1.0, -w * static_cast<double>(n));
    return sum;
}

double db(std::complex<double> x) {
    return 20.0 * std::log10(std::abs(x));
}

/// Impulse responses of the given producers, all pulled in the same cycles.
std::vector<std::vector<double>> render(Rig& rig, const std::vector<wave::Producer*>& nodes,
                                        int32_t samples) {
    std::vector<std::vector<double>> out(nodes.size());
    for (int32_t done = 0; done < samples; done += kBlock) {
        rig.env.beginCycle();
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const float* d = nodes[i]->pull(kBlock)->data();
            out[i].insert(out[i].end(), d, d + kBlock);
        }
        rig.env.advance(kBlock, 0);
    }
    return out;
}

struct CrossoverRig : Rig {
    CrossoverRig(Slope slope, float octaves, int32_t length)
        : input(&env, impulse(length)),
          low(&env, Response::kLowPass, slope),
          high(&env, Response::kHighPass, slope),
          allPass(&env, Response::kAllPass, slope) {
        for (CrossoverFilter* f : {&low, &high, &allPass}) {
            f->setInput(&input);
            f->frequencyOctaves().parameter().setValue(octaves, 0.0f);
        }
    }
    PatternSource input;
    CrossoverFilter low, high, allPass;
};

TEST(CrossoverFilter, HalvesSumToTheAllPassOfTheirSlope) {
    constexpr int32_t kLength = 16384;
    for (const Slope slope : kSlopes) {
        for (const double hz : {60.0, 1000.0, 12000.0}) {
            SCOPED_TRACE(::testing::Message()
                         << "slope " << static_cast<int>(slope) << " at " << hz << " Hz");
            CrossoverRig rig(slope, static_cast<float>(std::log2(hz)), kLength);
            const auto h = render(rig, {&rig.low, &rig.high, &rig.allPass}, kLength);
            std::vector<double> sum(kLength);
            double worstDifference = 0.0;
            for (int32_t n = 0; n < kLength; ++n) {
                sum[n] = h[0][n] + h[1][n];
                worstDifference = std::max(worstDifference, std::fabs(sum[n] - h[2][n]));
            }
            EXPECT_LT(largestDeviationDb(sum), 0.01);
            EXPECT_LT(worstDifference, 2e-6);  // the sum is this slope's all-pass, sample by sample
            if (slope == Slope::k6DbPerOctave) {
                // A first-order pair sums back to the input itself.
                EXPECT_NEAR(sum[0], 1.0, 2e-6);
                for (int32_t n = 1; n < kLength; ++n)
                    ASSERT_NEAR(sum[n], 0.0, 2e-6) << "sample " << n;
            }
            // Linkwitz-Riley halves cross at -6 dB, the first-order pair at -3 dB.
            const double atCrossover = slope == Slope::k6DbPerOctave ? -3.01 : -6.02;
            EXPECT_NEAR(db(responseAt(h[0], hz)), atCrossover, 0.02);
            EXPECT_NEAR(db(responseAt(h[1], hz)), atCrossover, 0.02);
        }
    }
}

/// Magnitude in dB a Linkwitz-Riley half of order N (or a first-order half) must have at
/// frequencyHz: 1 / (1 + w^N), or 1 / sqrt(1 + w^2) for N = 1, with w the prewarped frequency
/// ratio (inverted for the high-pass).
double theoreticalDb(int32_t order, Response response, double frequencyHz, double crossoverHz) {
    double w =
        std::tan(kPi * frequencyHz / kSampleRate) / std::tan(kPi * crossoverHz / kSampleRate);
    if (response == Response::kHighPass) w = 1.0 / w;
    if (order == 1) return -10.0 * std::log10(1.0 + w * w);
    return -20.0 * std::log10(1.0 + std::pow(w, order));
}

TEST(CrossoverFilter, HalvesFollowTheirSlopeAndOnlyOddButterworthOrdersInvert) {
    // At Nyquist the high-pass is exactly +1 or -1: inverted at 12 and 36 dB/oct only.
    struct Case {
        Slope slope;
        int32_t order;
        double highAtNyquist;
    };
    const Case cases[] = {{Slope::k6DbPerOctave, 1, 1.0},
                          {Slope::k12DbPerOctave, 2, -1.0},
                          {Slope::k24DbPerOctave, 4, 1.0},
                          {Slope::k36DbPerOctave, 6, -1.0},
                          {Slope::k48DbPerOctave, 8, 1.0}};
    constexpr int32_t kLength = 16384;
    constexpr double kCrossoverHz = 1000.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "slope " << static_cast<int>(c.slope));
        CrossoverRig rig(c.slope, static_cast<float>(std::log2(kCrossoverHz)), kLength);
        const auto h = render(rig, {&rig.low, &rig.high}, kLength);
        for (const double ratio : {0.125, 0.25, 0.5, 0.8, 1.25, 2.0, 4.0, 8.0}) {
            const double f = kCrossoverHz * ratio;
            for (const int side : {0, 1}) {
                const Response r = side == 0 ? Response::kLowPass : Response::kHighPass;
                const double expected = theoreticalDb(c.order, r, f, kCrossoverHz);
                if (expected < -100.0) continue;  // below what float output resolves
                EXPECT_NEAR(db(responseAt(h[side], f)), expected, expected > -60.0 ? 0.02 : 0.3)
                    << (side == 0 ? "low" : "high") << " at " << f << " Hz";
            }
        }
        EXPECT_NEAR(responseAt(h[1], kSampleRate / 2.0).real(), c.highAtNyquist, 1e-6);
        EXPECT_NEAR(responseAt(h[0], 0.0).real(), 1.0, 1e-6);
        EXPECT_EQ(rig.high.inverted(), c.highAtNyquist < 0.0);
    }
}

TEST(CrossoverFilter, ModelSlopesMapByThresholds) {
    const std::pair<float, Slope> cases[] = {
        {1.0f, Slope::k6DbPerOctave},   {8.9f, Slope::k6DbPerOctave},
        {9.0f, Slope::k12DbPerOctave},  {17.9f, Slope::k12DbPerOctave},
        {18.0f, Slope::k24DbPerOctave}, {29.9f, Slope::k24DbPerOctave},
        {30.0f, Slope::k36DbPerOctave}, {41.9f, Slope::k36DbPerOctave},
        {42.0f, Slope::k48DbPerOctave}, {48.0f, Slope::k48DbPerOctave},
    };
    constexpr double kCrossoverHz = 500.0;
    for (const auto& [dbPerOctave, slope] : cases) {
        EXPECT_EQ(CrossoverFilter::slopeForDbPerOctave(dbPerOctave), slope) << dbPerOctave;
        // Through the model into a running splitter: the low band's level an octave above the
        // crossover tells the order that runs.
        Rig rig;
        CrossoverMultiBandModel model;
        model.bandCount() = 2;
        model.crossover(0).frequencyOctaves() = static_cast<float>(std::log2(kCrossoverHz));
        model.crossover(0).slopeDbPerOctave() = dbPerOctave;
        PatternSource input(&rig.env, impulse(16384));
        MultiBand split(&rig.env, &model);
        split.setInput(&input);
        const auto h = render(rig, {split.output(0)}, 16384);
        const double expected = theoreticalDb(CrossoverFilter::orderOf(slope), Response::kLowPass,
                                              2.0 * kCrossoverHz, kCrossoverHz);
        EXPECT_NEAR(db(responseAt(h[0], 2.0 * kCrossoverHz)), expected, 0.05)
            << dbPerOctave << " dB/oct in the model";
    }
}

TEST(CrossoverFilter, FrequencyJumpTakesEffectWithinFourSamples) {
    // The frequency steps from 10 to 12 octaves at sample `step`; the output must leave that of
    // a filter held at 10 octaves at the next multiple of 4, and not before.
    for (const int32_t step : {37, 64, 65, 130}) {
        SCOPED_TRACE(::testing::Message() << "step at " << step);
        Rig rig;
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        std::vector<float> noise(512);
        for (float& x : noise)
            x = d(rng);
        std::vector<float> frequency(512, 10.0f);
        std::fill(frequency.begin() + step, frequency.end(), 12.0f);
        PatternSource input(&rig.env, noise);
        PatternSource moving(&rig.env, frequency);
        ConstantSource held(&rig.env, 10.0f);
        CrossoverFilter a(&rig.env, Response::kLowPass, Slope::k48DbPerOctave);
        CrossoverFilter b(&rig.env, Response::kLowPass, Slope::k48DbPerOctave);
        a.setInput(&input);
        b.setInput(&input);
        a.setFrequencySource(&moving);
        b.setFrequencySource(&held);
        const auto y = render(rig, {&a, &b}, 256);
        const int32_t effect = (step + 3) / 4 * 4;
        for (int32_t n = 0; n < effect; ++n)
            ASSERT_EQ(y[0][n], y[1][n]) << "sample " << n;
        EXPECT_NE(y[0][effect], y[1][effect]);
        EXPECT_EQ(a.designedFrequencyOctaves(), 12.0f);
    }
}

TEST(CrossoverFilter, SlowSweepRedesignsEveryThirtyTwoSamples) {
    Rig rig;
    std::vector<float> ramp(4 * kBlock);
    for (std::size_t n = 0; n < ramp.size(); ++n)
        ramp[n] = 10.0f + 0.0005f * static_cast<float>(n);  // 0.016 octave per 32 samples
    PatternSource moving(&rig.env, ramp);
    PatternSource input(&rig.env, {0.5f, -0.25f, 0.75f});
    CrossoverFilter filter(&rig.env, Response::kHighPass, Slope::k24DbPerOctave);
    filter.setInput(&input);
    filter.setFrequencySource(&moving);
    render(rig, {&filter}, kBlock);
    for (int32_t block = 1; block < 4; ++block) {
        const int64_t before = filter.designCount();
        render(rig, {&filter}, kBlock);
        EXPECT_EQ(filter.designCount() - before, kBlock / 32);
        // The last design happened at the block's last 32-sample boundary.
        EXPECT_EQ(filter.designedFrequencyOctaves(), ramp[block * kBlock + kBlock - 32]);
    }
    // A steady control designs nothing more.
    ConstantSource steady(&rig.env, 11.0f);
    filter.setFrequencySource(&steady);
    render(rig, {&filter}, kBlock);
    const int64_t settled = filter.designCount();
    render(rig, {&filter}, 4 * kBlock);
    EXPECT_EQ(filter.designCount(), settled);
}

TEST(MultiBand, AllPassPoolMatchesTheTree) {
    EXPECT_EQ(MultiBand::allPassPoolSize(12), 25);
    EXPECT_EQ(MultiBand::allPassPoolSize(5), 6);
    EXPECT_EQ(MultiBand::allPassPoolSize(0), 0);
    EXPECT_EQ(MultiBand::allPassPoolSize(1), 0);
    Rig rig;
    CrossoverMultiBandModel model;
    MultiBand split(&rig.env, &model);
    EXPECT_EQ(split.allPassPoolSize(), 25);
    for (int32_t bands = 1; bands <= model.maxBandCount(); ++bands) {
        model.bandCount() = bands;
        EXPECT_EQ(split.bandCount(), bands);
        EXPECT_EQ(split.allPassesInUse(), MultiBand::allPassPoolSize(bands - 1)) << bands;
    }
}

TEST(MultiBand, OneBandPassesTheInputThrough) {
    Rig rig;
    CrossoverMultiBandModel model;
    PatternSource input(&rig.env, {0.5f, -0.25f});
    MultiBand split(&rig.env, &model);
    split.setInput(&input);
    rig.env.beginCycle();
    EXPECT_EQ(split.output(0)->pull(kBlock), input.pull(kBlock));
    EXPECT_EQ(split.output(1)->outputBlock(), rig.env.zeroBlock());
    rig.env.advance(kBlock, 0);
}

/// A random layout of 1..6 user bands; every fourth seed six bands with gaps (13 model bands).
void randomLayout(FloatingMultiBandModel& layout, std::mt19937& rng, int seed) {
    UpdatedObject::ScopedHold hold(layout);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int used = seed % 4 == 0 ? 6 : 1 + static_cast<int>(rng() % 6);
    const float span = FloatingMultiBandModel::kHighestFrequencyOctaves -
                       FloatingMultiBandModel::kLowestFrequencyOctaves;
    for (int b = 0; b < FloatingMultiBandModel::kBandCount; ++b) {
        FloatingMultiBandModel::Band& band = layout.band(b);
        band.used() = b < used;
        float low, high;
        if (seed % 4 == 0) {
            // Six bands of 1.2 octaves spaced 1.6 apart, jittered: a gap below each of them.
            low = FloatingMultiBandModel::kLowestFrequencyOctaves + 0.5f + 1.6f * b +
                  0.1f * unit(rng);
            high = low + 1.2f;
        } else {
            low = FloatingMultiBandModel::kLowestFrequencyOctaves + span * unit(rng);
            high = low + 0.3f + 3.0f * unit(rng);
        }
        band.setRange(low, high);
        band.lowSlopeDbPerOctave() = 1.0f + 47.0f * unit(rng);
        band.highSlopeDbPerOctave() = 1.0f + 47.0f * unit(rng);
    }
}

TEST(MultiBand, OutputsSumFlatForRandomLayouts) {
    constexpr int32_t kLength = 32768;
    double worst = 0.0;
    int largestTree = 0;
    for (int seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937 rng(static_cast<unsigned>(seed));
        Rig rig;
        CrossoverMultiBandModel model;
        FloatingMultiBandModel layout(&model);
        randomLayout(layout, rng, seed);
        PatternSource input(&rig.env, impulse(kLength));
        MultiBand split(&rig.env, &model);
        split.setInput(&input);
        const int32_t bands = model.bandCount();
        largestTree = std::max(largestTree, bands);
        if (seed % 4 == 0) {
            ASSERT_EQ(bands, 13);
        }

        std::vector<wave::Producer*> outputs;
        for (int32_t j = 0; j < bands; ++j)
            outputs.push_back(split.output(j));
        const auto h = render(rig, outputs, kLength);
        std::vector<double> sum(kLength, 0.0);
        for (const auto& band : h)
            for (int32_t n = 0; n < kLength; ++n)
                sum[n] += band[n];
        const double deviation = largestDeviationDb(sum);
        worst = std::max(worst, deviation);
        EXPECT_LT(deviation, 0.01) << bands << " model bands";

        // Output j is model band j: well inside a band of an octave or more, that band is the
        // loudest output.
        for (int32_t j = 0; j < bands; ++j) {
            const float lo = j == 0 ? model.crossover(0).frequencyOctaves() - 1.0f
                                    : model.crossover(j - 1).frequencyOctaves().get();
            const float hi = j == bands - 1 ? model.crossover(j - 1).frequencyOctaves() + 1.0f
                                            : model.crossover(j).frequencyOctaves().get();
            const double centreHz = std::exp2(0.5 * (lo + hi));
            if (hi - lo < 1.0f || bands == 1 || centreHz < 15.0 || centreHz > 16000.0) continue;
            const double own = std::abs(responseAt(h[j], centreHz));
            for (int32_t other = 0; other < bands; ++other)
                if (other != j) {
                    EXPECT_GT(own, std::abs(responseAt(h[other], centreHz))) << j;
                }
        }
    }
    EXPECT_EQ(largestTree, 13);
    std::printf("[ measured ] MultiBand sum flatness: worst %.2e dB over 24 layouts\n", worst);
}

TEST(MultiBand, MovingBandsStayBoundedClickFreeAndAllocateNothing) {
    Rig rig;
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout(&model);
    {
        UpdatedObject::ScopedHold hold(layout);
        for (int b = 0; b < 4; ++b) {
            layout.band(b).used() = true;
            layout.band(b).setRange(6.0f + 2.0f * b, 7.2f + 2.0f * b);
        }
    }
    // A 100 Hz sine: the outputs sum to it through an all-pass, so the sum's steps stay near
    // the sine's own largest step while the crossovers glide.
    std::vector<float> sine(480);
    for (std::size_t n = 0; n < sine.size(); ++n)
        sine[n] = static_cast<float>(std::sin(2.0 * kPi * 100.0 * static_cast<double>(n) / 48000));
    const double sineStep = 2.0 * std::sin(kPi * 100.0 / 48000.0);
    PatternSource input(&rig.env, sine);
    MultiBand split(&rig.env, &model);
    split.setInput(&input);
    auto runCycle = [&](double& largestStep, double& peak, float& previous, bool measureSteps) {
        rig.env.beginCycle();
        const int32_t bands = split.bandCount();
        for (int32_t i = 0; i < kBlock; ++i) {
            double sum = 0.0;
            for (int32_t j = 0; j < bands; ++j) {
                const float y = split.output(j)->pull(kBlock)->data()[i];
                if (!std::isfinite(y)) ADD_FAILURE() << "non-finite output";
                peak = std::max(peak, static_cast<double>(std::fabs(y)));
                sum += y;
            }
            if (measureSteps) largestStep = std::max(largestStep, std::fabs(sum - previous));
            previous = static_cast<float>(sum);
        }
        rig.env.advance(kBlock, 0);
    };
    double largestStep = 0.0, peak = 0.0;
    float previous = 0.0f;
    for (int i = 0; i < 40; ++i)
        runCycle(largestStep, peak, previous, false);  // settle

    AllocationScope allocations;
    // Glides: band edges move a little every cycle (the crossovers ramp), same band count.
    for (int cycle = 0; cycle < 200; ++cycle) {
        const float t = 0.5f * std::sin(0.05f * static_cast<float>(cycle));
        layout.band(1).setRange(8.0f + t, 9.2f + t);
        layout.band(2).highFrequencyOctaves() = 11.2f - t;
        runCycle(largestStep, peak, previous, true);
    }
    EXPECT_LT(largestStep, 1.3 * sineStep);
    EXPECT_GT(largestStep, 0.5 * sineStep);
    std::printf("[ measured ] gliding crossovers: largest step of the sum %.3f x the sine's\n",
                largestStep / sineStep);
    // Slope changes at the same band count crossfade old and new filters: no clicks either.
    double slopeStep = 0.0;
    const float slopes[] = {12.0f, 48.0f, 6.0f, 36.0f, 24.0f};
    for (int cycle = 0; cycle < 40; ++cycle) {
        if (cycle % 4 == 0) {
            layout.band(1).lowSlopeDbPerOctave() = slopes[(cycle / 4) % 5];
            layout.band(2).highSlopeDbPerOctave() = slopes[(cycle / 4 + 2) % 5];
        }
        runCycle(slopeStep, peak, previous, true);
    }
    EXPECT_LT(slopeStep, 1.3 * sineStep);
    std::printf("[ measured ] slope changes: largest step of the sum %.3f x the sine's\n",
                slopeStep / sineStep);
    // Rewired to the same band count: the handler runs, nothing is rebuilt.
    model.changedEvent().fire(&model);
    // Slope changes and band count changes (a band switched off and on again, a band moved
    // over its neighbour's gap): the tree is rewired each time.
    int32_t fewestBands = split.bandCount(), mostBands = split.bandCount();
    for (int cycle = 0; cycle < 60; ++cycle) {
        layout.band(cycle % 4).lowSlopeDbPerOctave() = static_cast<float>(1 + (cycle * 7) % 48);
        layout.band(cycle % 4).highSlopeDbPerOctave() = static_cast<float>(1 + (cycle * 11) % 48);
        if (cycle % 10 == 3) layout.band(3).used() = !layout.band(3).used();
        if (cycle % 10 == 7) layout.band(0).setRange(4.9f, cycle % 20 < 10 ? 7.9f : 7.0f);
        runCycle(largestStep, peak, previous, false);
        fewestBands = std::min(fewestBands, split.bandCount());
        mostBands = std::max(mostBands, split.bandCount());
    }
    EXPECT_EQ(allocations.allocations(), 0u);
    EXPECT_LT(fewestBands, mostBands);  // the tree was rebuilt for other band counts
    EXPECT_LT(peak, 4.0);  // filter resets and steep slopes may overshoot, but stay bounded
    std::printf("[ measured ] slope and band count changes: peak output %.3f\n", peak);
}

}  // namespace
}  // namespace tessel
