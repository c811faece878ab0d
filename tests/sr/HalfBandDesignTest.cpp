#include <gtest/gtest.h>

#include <limits>

#include "sr/HalfBandDesign.h"

namespace tessel::sr {
namespace {

TEST(HalfBandDesign, TableSizesAndRoundTripLatencyAtCommonRates) {
    struct Case {
        double rateHz;
        int32_t firstStageTaps;
        int32_t latency2x;
        int32_t latency4x;
    };
    // 4x adds a relaxed stage (25 taps, k = 6) costing 2 * ceil(12 / 4) = 6 samples.
    const Case cases[] = {
        {44100.0, 125, 62, 68},
        {48000.0, 69, 34, 40},
        {96000.0, 21, 10, 16},
    };
    EXPECT_EQ(4 * halfBandOrder(90.0, kRelaxedTransition) + 1, 25);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rateHz);
        EXPECT_EQ(4 * halfBandOrder(90.0, firstStageTransition(c.rateHz, 20000.0)) + 1,
                  c.firstStageTaps);
        EXPECT_EQ(conversionLatency(1, c.rateHz), 0);
        EXPECT_EQ(conversionLatency(2, c.rateHz), c.latency2x);
        EXPECT_EQ(conversionLatency(4, c.rateHz), c.latency4x);
    }
}

TEST(HalfBandDesign, TransitionIsFlooredSoLowRatesStayBounded) {
    // At 32 kHz the edge lies above Nyquist: the floor keeps the first stage at the 44.1 kHz size.
    EXPECT_EQ(firstStageTransition(32000.0, 20000.0), kMinimumTransition);
    EXPECT_EQ(halfBandOrder(90.0, firstStageTransition(32000.0, 20000.0)),
              halfBandOrder(90.0, kMinimumTransition));
    EXPECT_GT(conversionLatency(2, 44100.0), conversionLatency(2, 48000.0))
        << "steeper stage, longer";
    EXPECT_EQ(conversionLatency(2, std::numeric_limits<double>::quiet_NaN()), 62)
        << "treated as 44.1 kHz";
    EXPECT_EQ(conversionLatency(2, -1.0), 62);
    EXPECT_EQ(conversionLatency(0, 44100.0), 0);
}

}  // namespace
}  // namespace tessel::sr
