// Oversampling converters: tables, latency, responses, round trips, real time, non-finite input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <vector>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "common/Spectrum.h"
#include "engine/wave/SubEnvironment.h"
#include "sr/ConverterStyle.h"
#include "sr/DecimatorFilter.h"
#include "sr/InterpolatorFilter.h"
#include "support/Tolerance.h"

namespace tessel::sr {
namespace {

using Kind = ConverterStyle::TableKind;
constexpr double kEdgeHz = ConverterStyle::kDefaultPassBandEdgeHz;
// Images measure 81.5 to 91 dB down (Kaiser falls short of 90 dB); a wrong tap shows <= 60.
constexpr double kStopBandFloorDb = -80.0;

std::vector<float> sine(double frequencyHz, double rateHz, int32_t length) {
    std::vector<float> v(static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] =
            static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * frequencyHz * i / rateHz));
    return v;
}

/// h at factor x hostHz, over gain: flat within 0.01 dB to the edge, every image held down.
void expectFlatAndImagesStopped(const std::vector<double>& h, double hostHz, int32_t factor,
                                double gain = 1.0) {
    const auto level = [&](double f) {
        return testing::db(testing::responseAt(h, f, hostHz * factor) / gain);
    };
    double ripple = 0.0, images = -400.0;
    for (int32_t i = -100; i <= 100; ++i) {
        ripple = std::max(ripple, std::fabs(level(kEdgeHz * std::abs(i) / 100.0)));
        for (int32_t m = 1; m <= factor / 2; ++m)
            images = std::max(
                images, level(std::min(m * hostHz + kEdgeHz * i / 100.0, hostHz * factor / 2)));
    }
    EXPECT_LT(ripple, 0.01);
    EXPECT_LT(images, kStopBandFloorDb);
}

/// Host source -> interpolator (sub-environment at factor x rate) -> decimator; or a sub source
/// feeding the decimator alone.
struct Rig {
    Rig(float rateHz, int32_t factor, std::vector<float> signal, bool decimatorOnly = false)
        : sub(&host, factor, 0, false) {
        hostSource.pattern = subSource.pattern = signal;
        host.setSampleRate(rateHz);
        up.setInput(&hostSource);
        down.setInput(decimatorOnly ? static_cast<wave::Producer*>(&subSource) : &up);
    }
    /// One cycle of n host samples; appends the decimator's and the interpolator's outputs.
    void cycle(int32_t n) {
        host.beginCycle();
        const float* d = down.pull(n)->data();
        decimated.insert(decimated.end(), d, d + n);
        const float* u = up.outputBlock()->data();
        interpolated.insert(interpolated.end(), u, u + n * sub.factor());
        host.advance(n, 0);
    }
    /// Runs `samples` host samples in cycles that take the block sizes in turn.
    Rig& run(int32_t samples, std::initializer_list<int32_t> blocks) {
        for (int32_t done = 0, b = 0; done < samples; done += blocks.begin()[b++ % blocks.size()])
            cycle(std::min(blocks.begin()[b % blocks.size()], samples - done));
        return *this;
    }

    wave::Environment host{256, true};
    wave::SubEnvironment sub;
    testing::PatternSource hostSource{&host}, subSource{&sub};
    ConverterStyle style{&host, &sub};
    InterpolatorFilter up{&sub, &style};
    DecimatorFilter down{&host, &style};
    std::vector<float> decimated, interpolated;
};

TEST(ConverterStyle, TableSizesAndLatencyAtCommonRates) {
    struct Case {
        float rateHz;
        int32_t steepTaps, latency2x, latency4x;
    };
    // 4x adds a relaxed stage (25 taps, k = 6) costing 2 * ceil(12 / 4) = 6 samples.
    for (const Case& c :
         {Case{44100.0f, 125, 62, 68}, Case{48000.0f, 69, 34, 40}, Case{96000.0f, 21, 10, 16}}) {
        SCOPED_TRACE(c.rateHz);
        wave::Environment host(64, true);
        host.setSampleRate(c.rateHz);
        ConverterStyle style(&host, nullptr);
        style.design();
        EXPECT_EQ(style.table(Kind::kSteep).length, c.steepTaps);
        EXPECT_EQ(style.table(Kind::kRelaxed).length, 25);
        EXPECT_EQ(style.table(Kind::kSteepReduced).length, (c.steepTaps - 1) / 2);
        EXPECT_EQ(style.table(Kind::kRelaxedReduced).length, 12);
        EXPECT_EQ(style.latency(1), 0);
        EXPECT_EQ(style.latency(2), c.latency2x);
        EXPECT_EQ(style.latency(4), c.latency4x);
        EXPECT_EQ(ConverterStyle::conversionLatency(4, c.rateHz), c.latency4x)
            << "before any style";
    }
    // At 32 kHz the edge lies above Nyquist: the floored transition gives 129 taps.
    EXPECT_EQ(ConverterStyle::conversionLatency(2, 32000.0), 64);
    EXPECT_EQ(ConverterStyle::conversionLatency(2, std::numeric_limits<double>::quiet_NaN()), 62)
        << "treated as 44.1 kHz";
    EXPECT_EQ(ConverterStyle::tableOrder(0.0, 0.5), 1) << "never an empty half-band";
}

TEST(Converters, RoundTripDelaysByExactlyTheReportedLatency) {
    // clang-format off
    struct Case { float rateHz; int32_t factor; float attenuationDb; std::initializer_list<int32_t> blocks; };
    // 50 and 80 dB give relaxed tables with odd k, whose stages need alignment padding.
    for (const Case& c : {Case{44100.0f, 2, 90.0f, {256}}, Case{44100.0f, 4, 90.0f, {1, 7, 255}}, Case{48000.0f, 2, 90.0f, {13, 64}},
                          Case{48000.0f, 4, 90.0f, {33, 2}}, Case{96000.0f, 2, 90.0f, {5}}, Case{48000.0f, 4, 50.0f, {64, 3}},
                          Case{44100.0f, 8, 80.0f, {17}}, Case{48000.0f, 4, 30.0f, {9}}}) {
        SCOPED_TRACE(::testing::Message() << c.rateHz << " Hz " << c.factor << "x " << c.attenuationDb << " dB");
        // clang-format on
        // One signal: an impulse at 10, 1.0 over [300, 700), a sine near the edge from 1000 on.
        std::vector<float> x = sine(c.rateHz * 0.19, c.rateHz, 3000);
        std::fill(x.begin(), x.begin() + 1000, 0.0f);
        std::fill(x.begin() + 300, x.begin() + 700, 1.0f);
        x[10] = 1.0f;
        Rig rig(c.rateHz, c.factor, x);
        rig.style.attenuationDb() = c.attenuationDb;
        const int32_t latency = rig.style.latency(c.factor);
        const std::vector<float>& y = rig.run(3000, c.blocks).decimated;
        EXPECT_EQ(std::max_element(y.begin(), y.begin() + 300) - y.begin(), 10 + latency);
        for (int32_t j = 1; j <= latency + 4; ++j)  // linear phase around the latency
            EXPECT_NEAR(y[10 + latency - j], y[10 + latency + j], 1e-6) << j;
        for (int32_t i = (300 + 2 * latency) * c.factor; i < 700 * c.factor; ++i) {
            ASSERT_EQ(y[i / c.factor], 1.0f) << i;
            ASSERT_EQ(rig.interpolated[i], 1.0f) << i;
        }
        if (c.attenuationDb < 90.0f) continue;
        for (int32_t i = 1000 + 2 * latency; i < 3000; ++i)
            ASSERT_NEAR(y[i], x[i - latency], 5e-4) << i;
    }
}

TEST(Converters, EndToEndPassBandIsFlatAndImagesStoppedAt2xAnd4x) {
    for (float rateHz : {44100.0f, 48000.0f, 96000.0f}) {
        for (int32_t factor : {2, 4}) {
            SCOPED_TRACE(::testing::Message() << rateHz << " Hz " << factor << "x");
            // The interpolator's impulse response; the decimator's from impulses at each phase.
            Rig up(rateHz, factor, testing::impulse(512));
            up.run(512, {128});
            expectFlatAndImagesStopped({up.interpolated.begin(), up.interpolated.end()}, rateHz,
                                       factor, factor);

            std::vector<double> h(512 * factor, 0.0);
            for (int32_t p = 0; p < factor; ++p) {
                std::vector<float> x = testing::impulse(512 * factor);
                Rig down(rateHz, factor, (std::swap(x[0], x[p]), x), true);
                down.run(512, {128});
                for (int32_t i = 0; i < 512; ++i)
                    h[i * factor + factor - 1 - p] = down.decimated[i];
            }
            expectFlatAndImagesStopped(h, rateHz, factor);
        }
    }
}

TEST(Converters, SteadyStateAllocatesNothingAndFollowFactorChanges) {
    Rig rig(48000.0f, 2, sine(1000.0, 48000.0, 4800));  // whole periods: the pattern repeats
    rig.decimated.reserve(1 << 16);
    rig.interpolated.reserve(1 << 17);
    EXPECT_EQ(testing::steadyStateAllocations(4, 200, [&](int i) { rig.cycle(i % 2 ? 255 : 17); }),
              0u);
    const testing::AllocationScope resetScope;
    rig.host.reset(wave::Environment::kResetAll);
    EXPECT_EQ(resetScope.allocations(), 0u) << "a reset with nothing changed only clears";

    // Long requests run in pieces: one call over 3000 samples matches the 255-sample cycles.
    const std::vector<float> x = sine(15000.0, 48000.0, 3000);
    Rig graph(48000.0f, 4, x);
    graph.run(3000, {255});
    std::vector<float> high(3000 * 4), back(3000);
    ASSERT_TRUE(graph.style.createInterpolator()->process(x.data(), high.data(), 3000));
    ASSERT_TRUE(graph.style.createDecimator()->process(high.data(), back.data(), 3000));
    EXPECT_EQ(back, graph.decimated);

    // The factor moves through the style; at 1 both nodes hand their input block on.
    for (int32_t factor : {4, 1, 2}) {
        SCOPED_TRACE(factor);
        rig.style.setFactor(factor);
        const auto start = static_cast<int64_t>(rig.decimated.size());  // = the host position
        const int32_t latency = rig.style.latency(factor);
        rig.run(1000, {64});
        for (int64_t i = start + 2 * latency; i < start + 1000; ++i)
            ASSERT_NEAR(rig.decimated[i], rig.hostSource.at(i - latency), 5e-4) << i;
        if (factor > 1) continue;
        EXPECT_EQ(rig.up.outputBlock(), rig.hostSource.outputBlock());
        EXPECT_EQ(rig.down.outputBlock(), rig.hostSource.outputBlock());
    }
}

TEST(Converters, NonFiniteInputLeavesWithItsHistoryAndResetClearsItAtOnce) {
    std::vector<float> x = sine(3000.0, 44100.0, 1000);
    const std::vector<float> clean = Rig(44100.0f, 4, x).run(1000, {100}).decimated;
    x[300] = testing::kNaN;
    x[301] = testing::kInf;
    const std::vector<float> dirty = Rig(44100.0f, 4, x).run(1000, {100}).decimated;
    const int32_t latency = ConverterStyle::conversionLatency(4, 44100.0);
    EXPECT_TRUE(std::isnan(dirty[300 + latency]));
    // Once past every stage's history, the output is the clean one bit for bit (nothing recursive).
    for (int32_t i = 302 + 2 * latency; i < 1000; ++i)
        ASSERT_EQ(dirty[i], clean[i]) << i;

    Rig reset(44100.0f, 4, {testing::kInf});
    reset.run(100, {100});
    EXPECT_FALSE(std::isfinite(reset.decimated.back()));
    reset.hostSource.pattern = {0.25f};
    reset.host.reset(wave::Environment::kResetAll);
    reset.run(100, {100});
    EXPECT_TRUE(std::all_of(reset.decimated.begin() + 100, reset.decimated.end(),
                            [](float y) { return std::isfinite(y); }));
}

}  // namespace
}  // namespace tessel::sr
