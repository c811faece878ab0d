// The biquad graph node (BiquadFilter) and the parametric equaliser band (EQFilter): responses
// measured from impulses against the analog prototype, click-free sweeps, the redesign schedule,
// the near-0 dB fade, enabling and linking.

#include "bands/EQFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "bands/BiquadFilter.h"
#include "common/AllocationCounter.h"
#include "engine/TestSignals.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing

constexpr float kSampleRate = 48000.0f;
constexpr int32_t kBlock = 256;
constexpr double kPi = std::numbers::pi;

struct Rig {
    Rig() : env(kBlock, true) { env.setSampleRate(kSampleRate); }
    wave::Environment env;
};

/// Runs `samples` samples of the filter and returns its output.
std::vector<float> render(Rig& rig, wave::Producer& node, int32_t samples) {
    std::vector<float> out;
    for (int32_t done = 0; done < samples; done += kBlock) {
        const std::vector<float> block = runCycle(rig.env, node, kBlock);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

/// Magnitude in dB of the impulse response h at frequencyHz.
double measuredDb(const std::vector<float>& h, double frequencyHz) {
    std::complex<double> sum;
    const double w = 2.0 * kPi * frequencyHz / kSampleRate;
    for (std::size_t n = 0; n < h.size(); ++n)
        sum += static_cast<double>(h[n]) * std::polar(1.0, -w * static_cast<double>(n));
    return 20.0 * std::log10(std::abs(sum));
}

std::vector<float> impulse(int32_t length) {
    std::vector<float> v(static_cast<std::size_t>(length), 0.0f);
    v[0] = 1.0f;
    return v;
}

/// Runs `cycles` blocks of the filter, pulled by hand (the test helpers allocate their results),
/// calling move(cycle) before each; returns the largest step between consecutive output samples,
/// starting from and updating `previous`; infinity as soon as a sample is not finite.
template <typename Move>
double largestStep(Rig& rig, wave::Producer& node, int32_t cycles, float& previous, Move&& move) {
    double largest = 0.0;
    for (int32_t cycle = 0; cycle < cycles; ++cycle) {
        move(cycle);
        rig.env.beginCycle();
        const float* out = node.pull(kBlock)->data();
        for (int32_t i = 0; i < kBlock; ++i) {
            if (!std::isfinite(out[i])) return std::numeric_limits<double>::infinity();
            largest = std::max(largest, std::fabs(static_cast<double>(out[i]) - previous));
            previous = out[i];
        }
        rig.env.advance(kBlock, 0);
    }
    return largest;
}

/// Impulse response of a freshly configured EQ band (controls jump to their values).
struct EqCase {
    int32_t shape;
    int32_t slope;
    int32_t calculation;
    float frequencyOctaves;
    float gainDb;
    float q;
};

std::vector<float> eqImpulseResponse(const EqCase& c, AnalogFilterPrototype* prototype = nullptr) {
    Rig rig;
    PatternSource input(&rig.env, impulse(16384));
    EQFilter eq(&rig.env);
    eq.setInput(&input);
    eq.shape() = c.shape;
    eq.slope() = c.slope;
    eq.coefficientCalculation() = c.calculation;
    eq.frequencyOctaves().parameter().setValue(c.frequencyOctaves, 0.0f);
    eq.gainDb().parameter().setValue(c.gainDb, 0.0f);
    eq.q().parameter().setValue(c.q, 0.0f);
    std::vector<float> h = render(rig, eq, 16384);
    if (prototype != nullptr) *prototype = eq.prototype();
    return h;
}

TEST(EQFilter, MatchedResponsesFollowTheAnalogPrototypeUpToNyquist) {
    const EqCase cases[] = {
        {AnalogFilterPrototype::kBandGain, EQFilter::k12DbPerOctave, 0, 10.0f, 12.0f, 0.0f},
        {AnalogFilterPrototype::kBandGain, EQFilter::k12DbPerOctave, 0, 12.5f, -9.0f, 3.0f},
        {AnalogFilterPrototype::kLowShelfCentred, EQFilter::k12DbPerOctave, 0, 8.0f, 6.0f, 0.0f},
        {AnalogFilterPrototype::kHighShelf, EQFilter::k24DbPerOctave, 0, 13.0f, -12.0f, 0.0f},
        {AnalogFilterPrototype::kLowPass, EQFilter::k24DbPerOctave, 0, 11.0f, 0.0f, 0.0f},
        {AnalogFilterPrototype::kHighPass, EQFilter::k6DbPerOctave, 0, 7.0f, 0.0f, 0.0f},
        {AnalogFilterPrototype::kTilt, EQFilter::k12DbPerOctave, 0, 10.0f, 8.0f, 0.0f},
    };
    for (const EqCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "shape " << c.shape << " slope " << c.slope);
        AnalogFilterPrototype prototype;
        const std::vector<float> h = eqImpulseResponse(c, &prototype);
        for (double f = 40.0; f < 20000.0; f *= 1.25) {
            const double analogDb = 10.0 * std::log10(prototype.squaredMagnitude(f));
            if (analogDb < -40.0) continue;  // deep stop bands are compared in other tests
            EXPECT_NEAR(measuredDb(h, f), analogDb, 0.6) << "at " << f << " Hz";
        }
    }
}

TEST(EQFilter, BellPeaksAtItsGainAndFrequency) {
    // Independent of the prototype: a bell of +12 dB at 1024 Hz peaks there with 12 dB.
    const std::vector<float> h = eqImpulseResponse(
        {AnalogFilterPrototype::kBandGain, EQFilter::k12DbPerOctave, 1, 10.0f, 12.0f, 0.0f});
    EXPECT_NEAR(measuredDb(h, 1024.0), 12.0, 0.05);
    EXPECT_NEAR(measuredDb(h, 20.0), 0.0, 0.1);
    EXPECT_LT(measuredDb(h, 1024.0 * 1.3), 11.5);
    EXPECT_LT(measuredDb(h, 1024.0 / 1.3), 11.5);
}

TEST(EQFilter, BilinearResponsesMatchThePrototypeWellBelowNyquist) {
    const EqCase c{AnalogFilterPrototype::kLowPass, EQFilter::k48DbPerOctave, 1, 10.0f, 0.0f, 0.0f};
    AnalogFilterPrototype prototype;
    const std::vector<float> h = eqImpulseResponse(c, &prototype);
    EXPECT_NEAR(measuredDb(h, 1024.0), -3.01, 0.05);  // the prewarped cut-off sits exactly
    for (double f = 30.0; f < 2000.0; f *= 1.2) {
        const double analogDb = 10.0 * std::log10(prototype.squaredMagnitude(f));
        EXPECT_NEAR(measuredDb(h, f), analogDb, 0.3) << "at " << f << " Hz";
    }
}

TEST(EQFilter, SlopeZeroIsOneFirstOrderSectionAndSlopeNineOnCutsIsElliptic) {
    AnalogFilterPrototype prototype;
    std::vector<float> h = eqImpulseResponse(
        {AnalogFilterPrototype::kLowPass, EQFilter::k6DbPerOctave, 1, 9.0f, 0.0f, 0.0f},
        &prototype);
    EXPECT_EQ(prototype.sectionCount(), 1);
    EXPECT_EQ(prototype.section(0).order(), 1);
    EXPECT_NEAR(measuredDb(h, 5120.0) - measuredDb(h, 2560.0), -6.0, 0.6);

    h = eqImpulseResponse(
        {AnalogFilterPrototype::kHighPass, EQFilter::kSteepest, 1, 10.0f, 0.0f, 5.0f}, &prototype);
    EXPECT_EQ(prototype.sectionCount(), 6);
    EXPECT_EQ(prototype.family(), AnalogFilterPrototype::kElliptic);
    EXPECT_EQ(prototype.order(), 12);
    EXPECT_LT(measuredDb(h, 512.0), -60.0);  // an octave below a 12th-order cut is deep
    EXPECT_NEAR(measuredDb(h, 8000.0), 0.0, 0.5);
    EXPECT_EQ(EQFilter::sectionCountFor(AnalogFilterPrototype::kBandPass, EQFilter::k6DbPerOctave),
              1);
}

TEST(EQFilter, GainBeyondThirtyDecibelsActsAsThirty) {
    const std::vector<float> h = eqImpulseResponse(
        {AnalogFilterPrototype::kBandGain, EQFilter::k12DbPerOctave, 1, 10.0f, 45.0f, 0.0f});
    EXPECT_NEAR(measuredDb(h, 1024.0), 30.0, 0.1);
}

TEST(EQFilter, NearZeroDecibelsTheBandFadesOutByWeight) {
    // At exactly 0 dB a bell contributes nothing: the output is the input, bit for bit.
    Rig rig;
    PatternSource noise(&rig.env, {0.3f, -0.7f, 0.1f, 0.9f, -0.2f, 0.05f, -0.6f});
    EQFilter eq(&rig.env);
    eq.setInput(&noise);
    eq.gainDb().parameter().setValue(0.0f, 0.0f);
    for (int cycle = 0; cycle < 4; ++cycle) {
        const wave::BasicBlock<float>* out = pullCycle(rig.env, kBlock, {&eq})[0];
        const wave::BasicBlock<float>* in = noise.outputBlock();
        for (int32_t i = 0; i < kBlock; ++i)
            ASSERT_EQ(out->data()[i], in->data()[i]);
    }
    // At 0.02 dB the bell is designed at 0.02 dB and mixed at 0.4 of it; at 0.005 dB it is
    // designed at 0.01 dB and mixed at 0.1.
    const auto peakDb = [](float gainDb) {
        return measuredDb(eqImpulseResponse({AnalogFilterPrototype::kBandGain,
                                             EQFilter::k12DbPerOctave, 1, 10.0f, gainDb, 0.0f}),
                          1024.0);
    };
    const auto mixedDb = [](double designDb, double weight) {
        return 20.0 * std::log10(1.0 + weight * (std::pow(10.0, designDb / 20.0) - 1.0));
    };
    EXPECT_NEAR(peakDb(0.02f), mixedDb(0.02, 0.4), 2e-4);
    EXPECT_NEAR(peakDb(0.005f), mixedDb(0.01, 0.1), 2e-4);
    EXPECT_NEAR(peakDb(-0.005f), mixedDb(-0.01, 0.1), 2e-4);
    EXPECT_NEAR(peakDb(0.2f), 0.2, 2e-3);
}

TEST(EQFilter, ConstantBlocksDesignOnceAndSlowSweepsOnTheThirtyTwoSampleGrid) {
    Rig rig;
    PatternSource noise(&rig.env, {0.3f, -0.7f, 0.1f, 0.9f});
    EQFilter eq(&rig.env);
    eq.setInput(&noise);
    render(rig, eq, kBlock);
    const int64_t settled = eq.designCount();
    render(rig, eq, 4 * kBlock);
    EXPECT_EQ(eq.designCount(), settled);  // nothing moved: no design at all

    eq.frequencyOctaves().parameter().setValue(9.0f, 0.0f);  // a jump: one design
    render(rig, eq, kBlock);
    EXPECT_EQ(eq.designCount(), settled + 1);

    // 0.05 octave over 100 ms moves far less than 0.1 octave per block: 8 designs per block.
    eq.frequencyOctaves().parameter().setValue(9.05f, 100.0f);
    render(rig, eq, kBlock);
    const int64_t before = eq.designCount();
    render(rig, eq, kBlock);
    EXPECT_EQ(eq.designCount() - before, kBlock / 32);

    // A fast sweep (4 octaves in 5 ms) redesigns on the 4-sample grid as the frequency jumps.
    eq.frequencyOctaves().parameter().setValue(13.0f, 5.0f);
    const int64_t fastBefore = eq.designCount();
    render(rig, eq, kBlock);
    EXPECT_GT(eq.designCount() - fastBefore, kBlock / 32);
    EXPECT_LE(eq.designCount() - fastBefore, kBlock / 4);
}

TEST(EQFilter, FastFrequencySweepsAreClickFreeAndAllocateNothing) {
    Rig rig;
    // A 200 Hz sine; its largest step between samples bounds any step of a smooth low-pass output.
    std::vector<float> sine(240);
    for (std::size_t n = 0; n < sine.size(); ++n)
        sine[n] =
            static_cast<float>(std::sin(2.0 * kPi * 200.0 * static_cast<double>(n) / kSampleRate));
    const double sineStep = 2.0 * std::sin(kPi * 200.0 / kSampleRate);
    PatternSource input(&rig.env, sine);
    EQFilter eq(&rig.env);
    eq.setInput(&input);
    eq.shape() = AnalogFilterPrototype::kLowPass;
    eq.frequencyOctaves().parameter().setValue(14.0f, 0.0f);
    eq.q().parameter().setValue(0.0f, 0.0f);
    render(rig, eq, 8 * kBlock);  // settle on the sine

    float previous = render(rig, eq, kBlock).back();
    AllocationScope allocations;
    // Down to 512 Hz and back up, 5 octaves in 10 ms each way, three times.
    const double step = largestStep(rig, eq, 48, previous, [&](int32_t cycle) {
        if (cycle % 8 == 0)
            eq.frequencyOctaves().parameter().setValue(cycle % 16 == 0 ? 9.0f : 14.0f, 10.0f);
    });
    EXPECT_EQ(allocations.allocations(), 0u);
    // A Butterworth low-pass does not ring, but sweeping it lets the output overshoot a little.
    EXPECT_LE(step, sineStep * 1.2);
    EXPECT_GT(step, sineStep * 0.5);  // the sine did get through

    // Slope changes restructure the cascade; the old one fades out instead of being cut off.
    const int32_t slopes[] = {EQFilter::k48DbPerOctave, EQFilter::k6DbPerOctave,
                              EQFilter::kSteepest, EQFilter::k18DbPerOctave};
    const double slopeStep = largestStep(rig, eq, 16, previous, [&](int32_t cycle) {
        if (cycle % 4 == 0) eq.slope() = slopes[cycle / 4];
    });
    EXPECT_LE(slopeStep, sineStep * 1.2);
}

// A gain ramp with frequency and Q fixed costs two designs per decibel crossed, follows the gain
// every 4 samples, and at rest between whole decibels the interpolated band matches a fresh design.
TEST(EQFilter, GainRampsInterpolateBetweenBracketDesigns) {
    for (const int32_t calculation : {0, 1}) {
        SCOPED_TRACE(calculation);
        constexpr int32_t kRamp = 9600;  // 200 ms
        Rig rig;
        std::vector<float> pulse(kRamp + 16384, 0.0f);
        pulse[kRamp + kBlock] = 1.0f;  // after the ramp has ended
        PatternSource input(&rig.env, pulse);
        EQFilter eq(&rig.env);
        eq.setInput(&input);
        eq.coefficientCalculation() = calculation;
        eq.q().parameter().setValue(0.0f, 0.0f);
        eq.gainDb().parameter().setValue(-12.0f, 0.0f);
        render(rig, eq, kBlock);
        const int64_t before = eq.designCount();
        eq.gainDb().parameter().setValue(5.5f, 200.0f);
        const std::vector<float> out = render(rig, eq, static_cast<int32_t>(pulse.size()) - kBlock);
        // -12 .. 5.5 dB touches 18 brackets of two designs: 11 from -12 to -1 dB, one each side
        // of 0 dB (-1.01 .. -0.01 and 0.01 .. 1.01) and 5 from 1 to 6 dB.
        EXPECT_EQ(eq.designCount() - before, 2 * 18);
        const std::vector<float> h(out.begin() + kRamp, out.end());
        const std::vector<float> fresh =
            eqImpulseResponse({AnalogFilterPrototype::kBandGain, EQFilter::k12DbPerOctave,
                               calculation, 10.0f, 5.5f, 0.0f});
        for (double hz = 50.0; hz < 20000.0; hz *= 1.25)
            EXPECT_NEAR(measuredDb(h, hz), measuredDb(fresh, hz), 0.02) << hz;
    }
}

TEST(EQFilter, FullRangeGainSweepsStayBoundedAndAllocateNothing) {
    Rig rig;
    std::vector<float> sine(48);
    for (std::size_t n = 0; n < sine.size(); ++n)
        sine[n] = static_cast<float>(std::sin(2.0 * kPi * static_cast<double>(n) / 48.0));
    PatternSource input(&rig.env, sine);  // 1 kHz, the bell's centre
    EQFilter eq(&rig.env);
    eq.setInput(&input);
    eq.gainDb().parameter().setValue(-30.0f, 0.0f);
    render(rig, eq, 8 * kBlock);
    // At +30 dB the 1 kHz output moves by at most 31.6 * 2 sin(pi / 48) per sample.
    const double loudStep = std::pow(10.0, 1.5) * 2.0 * std::sin(kPi / 48.0);
    float previous = render(rig, eq, kBlock).back();
    AllocationScope allocations;
    const double step = largestStep(rig, eq, 24, previous, [&](int32_t cycle) {
        if (cycle % 6 == 0)
            eq.gainDb().parameter().setValue(cycle % 12 == 0 ? 30.0f : -30.0f, 20.0f);
    });
    EXPECT_EQ(allocations.allocations(), 0u);
    EXPECT_LE(step, loudStep * 1.05);
}

TEST(BiquadFilter, DisablingCrossfadesToTheInputThenPassesItOn) {
    Rig rig;
    ConstantSource input(&rig.env, 1.0f);
    BiquadFilter filter(&rig.env, 1);
    filter.setInput(&input);
    BiquadCoefficients half;
    half.b0 = 0.5;
    filter.setCoefficients(&half);
    std::vector<float> out = render(rig, filter, kBlock);
    EXPECT_FLOAT_EQ(out.back(), 0.5f);

    filter.enabled() = false;
    const int32_t rampSamples = static_cast<int32_t>(0.02f * kSampleRate);
    out = render(rig, filter, 4 * kBlock);  // 1024 > 960 samples of ramp
    EXPECT_GT(out[1], 0.5f);
    EXPECT_LT(out[1], 0.52f);
    EXPECT_NEAR(out[static_cast<std::size_t>(rampSamples / 2)], 0.75f, 0.01f);
    for (std::size_t i = 1; i < out.size(); ++i)
        EXPECT_GE(out[i], out[i - 1]);  // monotonic crossfade, no click
    EXPECT_FLOAT_EQ(out.back(), 1.0f);
    EXPECT_EQ(pullCycle(rig.env, kBlock, {&filter})[0], input.outputBlock());

    filter.enabled() = true;
    out = render(rig, filter, 4 * kBlock);
    EXPECT_LT(out.front(), 1.0f);
    EXPECT_FLOAT_EQ(out.back(), 0.5f);
}

TEST(BiquadFilter, StereoPairFiltersBothChannelsWhicheverIsPulledFirst) {
    Rig rig;
    PatternSource left(&rig.env, {1.0f, 0.0f, 0.0f, 0.5f});
    PatternSource right(&rig.env, {-1.0f, 0.25f, 0.0f, 0.0f});
    BiquadFilter leader(&rig.env, 1);
    BiquadFilter follower(&rig.env, 1);
    BiquadFilter reference(&rig.env, 1);
    leader.setInput(&left);
    follower.setInput(&right);
    reference.setInput(&right);
    BiquadCoefficients lowPass{0.2, 0.4, 0.2, -0.3, 0.1};
    leader.setCoefficients(&lowPass);
    reference.setCoefficients(&lowPass);
    leader.link(&follower, BiquadProcessor::LinkKind::kStereoPair);
    ASSERT_EQ(follower.leader(), &leader);
    for (int cycle = 0; cycle < 4; ++cycle) {
        const auto blocks = cycle % 2 == 0 ? pullCycle(rig.env, kBlock, {&follower, &reference})
                                           : pullCycle(rig.env, kBlock, {&reference, &follower});
        for (int32_t i = 0; i < kBlock; ++i)
            ASSERT_FLOAT_EQ(blocks[0]->data()[i], blocks[1]->data()[i]) << "cycle " << cycle;
    }
    follower.unlink();
    EXPECT_EQ(leader.partner(), nullptr);
    EXPECT_EQ(follower.leader(), nullptr);
}

}  // namespace
}  // namespace tessel
