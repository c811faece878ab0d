// BiquadFilter and EQFilter: impulse responses, click-free sweeps, gain ramps, enabling, linking.

#include "bands/EQFilter.h"

#include <gtest/gtest.h>

#include <array>

#include "BandsTestRig.h"
#include "bands/BiquadFilter.h"
#include "common/AllocationCounter.h"
#include "common/StepMeter.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing
using Proto = AnalogFilterPrototype;

struct EqCase {
    Proto::Shape shape;
    int32_t slope, calculation;
    float frequencyOctaves, gainDb, q;
};

void configure(EQFilter& eq, const EqCase& c) {
    setDesign(eq, static_cast<int32_t>(c.shape), c.slope, c.calculation);
    eq.frequencyOctaves().parameter().setValue(c.frequencyOctaves, 0.0f);
    eq.gainDb().parameter().setValue(c.gainDb, 0.0f);
    eq.q().parameter().setValue(c.q, 0.0f);
}

/// Impulse response of a freshly configured EQ band, and its prototype.
std::vector<double> eqImpulseResponse(const EqCase& c, Proto* prototype = nullptr) {
    Rig rig;
    PatternSource input(&rig.env, impulse(16384));
    EQFilter eq(&rig.env);
    eq.setInput(&input);
    configure(eq, c);
    const std::vector<double> h = render(rig, {&eq}, 16384)[0];
    if (prototype != nullptr) *prototype = eq.prototype();
    return h;
}

const auto measuredDb = [](const std::vector<double>& h, double hz) {
    return db(responseAt(h, hz));
};

// Impulse responses follow the prototype and fixed levels (45 dB acts as 30; near 0 dB the band
// fades by weight: 0.02 dB mixed at 0.4, +-0.005 dB designed at 0.01, mixed at 0.1); 0 dB is exact.
TEST(EQFilter, ImpulseResponsesFollowTheirDesigns) {
    const auto mixedDb = [](double designDb, double weight) {
        return 20.0 * std::log10(1.0 + weight * (std::pow(10.0, designDb / 20.0) - 1.0));
    };
    // clang-format off
    // Against the prototype from 40 Hz up to highestHz, and levels as {Hz, dB, tolerance}.
    struct Row { EqCase c; double highestHz, toleranceDb; std::vector<std::array<double, 3>> levels = {}; };
    const Row rows[] = {
        {{Proto::kBandGain, 1, 0, 10.0f, 12.0f, 0.0f}, 20000, 0.6}, {{Proto::kBandGain, 1, 0, 12.5f, -9.0f, 3.0f}, 20000, 0.6},
        {{Proto::kLowShelfCentred, 1, 0, 8.0f, 6.0f, 0.0f}, 20000, 0.6}, {{Proto::kHighShelf, 3, 0, 13.0f, -12.0f, 0.0f}, 20000, 0.6},
        {{Proto::kLowPass, 3, 0, 11.0f, 0.0f, 0.0f}, 20000, 0.6}, {{Proto::kHighPass, 0, 0, 7.0f, 0.0f, 0.0f}, 20000, 0.6},
        {{Proto::kTilt, 1, 0, 10.0f, 8.0f, 0.0f}, 20000, 0.6}, {{Proto::kBandStop, 3, 0, 13.0f, 0.0f, 0.0f}, 20000, 0.6},
        {{Proto::kBandGain, 1, 1, 10.0f, 12.0f, 0.0f}, 0, 0, {{1024, 12, 0.05}, {20, 0, 0.1}}},
        {{Proto::kLowPass, 6, 1, 10.0f, 0.0f, 0.0f}, 2000, 0.3, {{1024, -3.01, 0.05}}},
        {{Proto::kLowPass, 0, 1, 9.0f, 0.0f, 0.0f}, 0, 0, {{2560, -14.226, 0.1}, {5120, -20.37, 0.1}}},
        {{Proto::kHighPass, 9, 1, 10.0f, 0.0f, 5.0f}, 0, 0, {{8000, -0.05, 0.1}}},
        {{Proto::kBandGain, 1, 1, 10.0f, 45.0f, 0.0f}, 0, 0, {{1024, 30, 0.1}}},
        {{Proto::kBandGain, 1, 1, 10.0f, 0.02f, 0.0f}, 0, 0, {{1024, mixedDb(0.02, 0.4), 2e-4}}},
        {{Proto::kBandGain, 1, 1, 10.0f, 0.005f, 0.0f}, 0, 0, {{1024, mixedDb(0.01, 0.1), 2e-4}}},
        {{Proto::kBandGain, 1, 1, 10.0f, -0.005f, 0.0f}, 0, 0, {{1024, mixedDb(-0.01, 0.1), 2e-4}}},
        {{Proto::kBandGain, 1, 1, 10.0f, 0.2f, 0.0f}, 0, 0, {{1024, 0.2, 2e-3}}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << static_cast<int32_t>(row.c.shape) << " " << row.c.slope
                                          << " " << row.c.calculation);
        Proto prototype;
        const std::vector<double> h = eqImpulseResponse(row.c, &prototype);
        for (double f = 40.0; f < row.highestHz; f *= 1.25) {
            const double analogDb = toDb(prototype.squaredMagnitude(f));
            if (analogDb < -40.0) continue;  // deep stop bands: see the design tests
            EXPECT_NEAR(measuredDb(h, f), analogDb, row.toleranceDb) << "at " << f << " Hz";
        }
        for (const auto& [hz, level, tolerance] : row.levels)
            EXPECT_NEAR(measuredDb(h, hz), level, tolerance) << "at " << hz << " Hz";
        if (row.c.slope == static_cast<int32_t>(EQFilter::kSteepest)) {
            EXPECT_EQ(prototype.family(), Proto::kElliptic);
            EXPECT_EQ(prototype.sectionCount(), 6);
            EXPECT_LT(measuredDb(h, 512.0), -60.0);  // an octave below a 12th-order cut
        }
    }
    Rig rig;
    PatternSource noise(&rig.env, {0.3f, -0.7f, 0.1f, 0.9f, -0.2f, 0.05f, -0.6f});
    EQFilter eq(&rig.env);
    eq.setInput(&noise);
    eq.gainDb().parameter().setValue(0.0f, 0.0f);
    for (int cycle = 0; cycle < 4; ++cycle) {
        const wave::BasicBlock<float>* out = pullCycle(rig.env, kBlock, {&eq})[0];
        for (int32_t i = 0; i < kBlock; ++i)
            ASSERT_EQ(out->data()[i], noise.outputBlock()->data()[i]);
    }
}

// A gain ramp costs two designs per decibel crossed and ends equal to a fresh design.
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
        configure(eq, {Proto::kBandGain, 1, calculation, 10.0f, -12.0f, 0.0f});
        render(rig, {&eq}, kBlock);
        const int64_t before = eq.designCount();
        eq.gainDb().parameter().setValue(5.5f, 200.0f);
        const auto out = render(rig, {&eq}, static_cast<int32_t>(pulse.size()) - kBlock)[0];
        // -12 .. 5.5 dB: 18 brackets (11 below -1 dB, one each side of 0 dB, 5 from 1 to 6 dB).
        EXPECT_EQ(eq.designCount() - before, 2 * 18);
        const std::vector<double> h(out.begin() + kRamp, out.end());
        const auto fresh = eqImpulseResponse({Proto::kBandGain, 1, calculation, 10.0f, 5.5f, 0.0f});
        for (double hz = 50.0; hz < 20000.0; hz *= 1.25)
            EXPECT_NEAR(measuredDb(h, hz), measuredDb(fresh, hz), 0.02) << hz;
    }
}

/// The largest output step over `cycles` blocks pulled by hand (render allocates), move(cycle)
/// before each, continuing from the meter's last sample.
template <typename Move>
double largestStep(Rig& rig, wave::Producer& node, int32_t cycles, StepMeter& meter, Move&& move) {
    meter.largestStep = 0.0;
    for (int32_t cycle = 0; cycle < cycles; ++cycle) {
        move(cycle);
        rig.env.beginCycle();
        meter.add(node.pull(kBlock)->data(), kBlock);
        rig.env.advance(kBlock, 0);
    }
    return meter.largestStep;
}

// Fast sweeps and slope changes (low-pass, 200 Hz sine), full gain sweeps (bell, 1 kHz): no clicks.
TEST(EQFilter, SweepsAreClickFreeAndAllocateNothing) {
    Rig lowRig, bellRig;
    PatternSource low(&lowRig.env, sine(200.0, 240)), centre(&bellRig.env, sine(1000.0, 48));
    EQFilter lowPass(&lowRig.env), bell(&bellRig.env);
    lowPass.setInput(&low), bell.setInput(&centre);
    configure(lowPass, {Proto::kLowPass, 1, 0, 14.0f, 0.0f, 0.0f});
    configure(bell, {Proto::kBandGain, 1, 0, 10.0f, -30.0f, 1.0f});
    const double sineStep = 2.0 * std::sin(kPi * 200.0 / kSampleRate);
    const double loudStep = std::pow(10.0, 1.5) * 2.0 * std::sin(kPi / 48.0);  // at +30 dB
    StepMeter lowMeter, bellMeter;  // each from its settled last sample
    lowMeter.add(static_cast<float>(render(lowRig, {&lowPass}, 8 * kBlock)[0].back()));
    bellMeter.add(static_cast<float>(render(bellRig, {&bell}, 8 * kBlock)[0].back()));
    AllocationScope allocations;
    // Down to 512 Hz and back up, 5 octaves in 10 ms each way, three times.
    const double step = largestStep(lowRig, lowPass, 48, lowMeter, [&](int32_t cycle) {
        if (cycle % 8 == 0)
            lowPass.frequencyOctaves().parameter().setValue(cycle % 16 ? 14.0f : 9.0f, 10.0f);
    });
    EXPECT_LE(step, sineStep * 1.2);
    EXPECT_GT(step, sineStep * 0.5);  // the sine did get through
    const auto gainSweep = [&](int32_t cycle) {
        if (cycle % 6 == 0) bell.gainDb().parameter().setValue(cycle % 12 ? -30.f : 30.f, 20);
    };
    EXPECT_LE(largestStep(bellRig, bell, 24, bellMeter, gainSweep), loudStep * 1.05);
    // Slope changes restructure the cascade; the old one fades out instead of being cut off.
    const int32_t slopes[] = {6, 0, 9, 2};
    const auto slopeChange = [&](int32_t c) {
        if (c % 4 == 0) lowPass.slope() = slopeAt(slopes[c / 4]);
    };
    EXPECT_LE(largestStep(lowRig, lowPass, 16, lowMeter, slopeChange), sineStep * 1.2);
    EXPECT_EQ(allocations.allocations(), 0u);
}

// Disabling crossfades then hands the input on; a stereo pair filters both whichever is pulled.
TEST(BiquadFilter, DisablingCrossfadesAndStereoPairsFilterBothChannels) {
    Rig rig;
    ConstantSource input(&rig.env, 1.0f);
    BiquadFilter filter(&rig.env, 1);
    filter.setInput(&input);
    const BiquadCoefficients half{0.5, 0.0, 0.0, 0.0, 0.0};
    filter.setCoefficients(&half);
    render(rig, {&filter}, kBlock);
    filter.enabled() = false;
    std::vector<double> out = render(rig, {&filter}, 4 * kBlock)[0];  // 1024 > 960 of ramp
    EXPECT_NEAR(out[479], 0.75, 1e-5);
    EXPECT_EQ(out.back(), 1.0);
    EXPECT_EQ(pullCycle(rig.env, kBlock, {&filter})[0], input.outputBlock());
    filter.enabled() = true;
    out = render(rig, {&filter}, 4 * kBlock)[0];
    EXPECT_NEAR(out[479], 0.75, 1e-5);
    EXPECT_EQ(out.back(), 0.5);

    PatternSource left(&rig.env, {1.0f, 0.0f, 0.0f, 0.5f}), right(&rig.env, {-1.0f, 0.25f, 0.0f});
    BiquadFilter leader(&rig.env, 1), follower(&rig.env, 1), reference(&rig.env, 1);
    leader.setInput(&left), follower.setInput(&right), reference.setInput(&right);
    const BiquadCoefficients lowPass{0.2, 0.4, 0.2, -0.3, 0.1};
    leader.setCoefficients(&lowPass), reference.setCoefficients(&lowPass);
    leader.link(&follower, BiquadProcessor::LinkKind::kStereoPair);
    ASSERT_EQ(follower.leader(), &leader);
    for (int cycle = 0; cycle < 4; ++cycle) {
        const auto blocks = cycle % 2 == 0 ? pullCycle(rig.env, kBlock, {&follower, &reference})
                                           : pullCycle(rig.env, kBlock, {&reference, &follower});
        for (int32_t i = 0; i < kBlock; ++i)
            ASSERT_EQ(blocks[0]->data()[i], blocks[1]->data()[i]) << "cycle " << cycle;
    }
    follower.unlink();
    EXPECT_EQ(leader.partner(), nullptr);
    EXPECT_EQ(follower.leader(), nullptr);
}

}  // namespace
}  // namespace tessel
