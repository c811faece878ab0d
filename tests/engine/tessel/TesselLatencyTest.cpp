#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "engine/tessel/TesselLatency.h"
#include "params/TesselParameters.h"

namespace tessel {
namespace {

constexpr ProcessingMode kLinear = ProcessingMode::kLinearPhase;
constexpr ProcessingMode kDynamic = ProcessingMode::kDynamicPhase;
constexpr ProcessingMode kMinimum = ProcessingMode::kMinimumPhase;

TEST(TesselLatency, SumsLookaheadKernelAndConverterDelays) {
    struct Case {
        double rateHz;
        ProcessingMode mode;
        bool lookahead;
        int32_t oversampling;
        int32_t lookaheadSamples, linearPhaseSamples, oversamplingSamples;
    };
    const Case cases[] = {
        {44100.0, kDynamic, true, 0, 882, 0, 0},  // the plug-in's defaults
        {44100.0, kDynamic, false, 0, 0, 0, 0},
        {48000.0, kLinear, true, 0, 960, 3072, 0},
        {44100.0, kLinear, false, 0, 0, 3072, 0},
        {96000.0, kLinear, false, 0, 0, 5120, 0},   // kernels twice as long
        {192000.0, kLinear, false, 0, 0, 9216, 0},  // four times
        {88200.0, kMinimum, true, 1, 1764, 0, 10},
        {44100.0, kLinear, false, 1, 0, 3072, 62},
        {44100.0, kMinimum, false, 2, 0, 0, 68},
        {48000.0, kDynamic, true, 2, 960, 0, 40},
        {44100.0, kMinimum, false, 7, 0, 0, 68},  // oversampling index clamped to 4x
        {NAN, kLinear, true, 0, 882, 3072, 0},    // a rate that is no rate counts as 44.1 kHz
        {-1.0, kDynamic, false, 1, 0, 0, 62},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.rateHz << " Hz mode " << static_cast<int>(c.mode) << " lookahead "
                     << c.lookahead << " os " << c.oversampling);
        const TesselLatency l =
            TesselLatency::compute(c.rateHz, c.mode, c.lookahead, c.oversampling);
        EXPECT_EQ(l.lookaheadSamples, c.lookaheadSamples);
        EXPECT_EQ(l.linearPhaseSamples, c.linearPhaseSamples);
        EXPECT_EQ(l.oversamplingSamples, c.oversamplingSamples);
        EXPECT_EQ(l.total(), c.lookaheadSamples + c.linearPhaseSamples + c.oversamplingSamples);
        const TesselLatencyInputs inputs(
            {static_cast<float>(c.rateHz), c.mode, c.lookahead, c.oversampling});
        EXPECT_EQ(inputs.load().latency().total(), l.total()) << "the packed record round-trips";
    }
}

TEST(TesselLatency, FollowsTheStoredParameters) {
    TesselParameters parameters;
    EXPECT_EQ(TesselLatency::of(parameters, 44100.0).total(), 882);
    parameters.processingMode.setValue(static_cast<float>(kLinear), 0);
    parameters.oversampling.setValue(2.0f, 0);
    EXPECT_EQ(TesselLatency::of(parameters, 48000.0).total(), 960 + 3072 + 40);
}

// Two threads toggling different inputs of one record: every update lands, and no snapshot ever
// mixes in a value nobody stored.
TEST(TesselLatency, ConcurrentUpdatesOfDifferentInputsAllLand) {
    TesselLatencyInputs inputs({48000.0f, kDynamic, false, 0});
    constexpr int kRounds = 20000;
    std::thread lookahead([&] {
        for (int i = 0; i < kRounds; ++i)
            inputs.update(
                [](TesselLatencyInputs::Values& v) { v.lookaheadEnabled = !v.lookaheadEnabled; });
    });
    std::thread oversampling([&] {
        for (int i = 0; i < kRounds; ++i)
            inputs.update(
                [](TesselLatencyInputs::Values& v) { v.oversampling = (v.oversampling + 1) % 3; });
    });
    bool consistent = true;
    for (int i = 0; i < kRounds; ++i) {
        const TesselLatencyInputs::Values v = inputs.load();
        consistent = consistent && v.sampleRateHz == 48000.0f && v.mode == kDynamic;
    }
    lookahead.join();
    oversampling.join();
    EXPECT_TRUE(consistent);
    const TesselLatencyInputs::Values end = inputs.load();
    EXPECT_FALSE(end.lookaheadEnabled) << "an even number of toggles";
    EXPECT_EQ(end.oversampling, kRounds % 3);
}

}  // namespace
}  // namespace tessel
