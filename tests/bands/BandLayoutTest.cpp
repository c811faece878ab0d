// The band layout: contiguous model bands, responses summing to 1, response caches, coalescing.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "BandsTestRig.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "bands/FrequencyResponseSource.h"

namespace tessel {
namespace {

using testing::randomLayout;
using Complex = FrequencyResponseSource::Complex;

const auto oct = [](double hz) { return static_cast<float>(std::log2(hz)); };

struct UserBand {
    float lowOctaves, highOctaves, lowSlope, highSlope;
};

void place(FloatingMultiBandModel& layout, const std::vector<UserBand>& bands) {
    UpdatedObject::ScopedHold hold(layout);
    for (std::size_t i = 0; i < bands.size(); ++i) {
        FloatingMultiBandModel::Band& b = layout.band(static_cast<int32_t>(i));
        b.used() = true;
        b.setRange(bands[i].lowOctaves, bands[i].highOctaves);
        b.lowSlopeDbPerOctave() = bands[i].lowSlope;
        b.highSlopeDbPerOctave() = bands[i].highSlope;
    }
}

// User bands in slots 0..: crossovers (frequency, slope), active model bands ('+'), slot -> band.
struct LayoutCase {
    const char* name;
    std::vector<UserBand> bands;
    std::vector<std::pair<float, float>> crossovers;
    std::string active;
    std::vector<int32_t> modelBandOfSlot;
};

TEST(FloatingMultiBandModel, LaysOutUserBandsAsContiguousModelBands) {
    const float k30Hz = FloatingMultiBandModel::kLowestFrequencyOctaves;
    const float k30kHz = FloatingMultiBandModel::kHighestFrequencyOctaves;
    const float f100 = oct(100), f1k = oct(1000), f4k = oct(4000);
    // clang-format off
    std::vector<LayoutCase> cases = {
        {"no band used", {}, {}, "-", {}},
        {"one band 100 Hz to 1 kHz", {{f100, f1k, 12, 36}}, {{f100, 12}, {f1k, 36}}, "-+-", {1}},
        {"low edge within 0.1 octave of 30 Hz", {{k30Hz + 0.05f, f1k, 24, 24}}, {{f1k, 24}}, "+-", {0}},
        {"low edge 0.15 octave above 30 Hz", {{k30Hz + 0.15f, f1k, 18, 24}}, {{k30Hz + 0.15f, 18}, {f1k, 24}}, "-+-", {1}},
        {"high edge within 0.1 octave of 30 kHz", {{f1k, k30kHz - 0.05f, 24, 24}}, {{f1k, 24}}, "-+", {1}},
        {"overlapping bands share the lower band's upper edge", {{f100, f1k, 12, 18}, {oct(500), f4k, 30, 42}},
         {{f100, 12}, {f1k, 18}, {f4k, 42}}, "-++-", {1, 2}},
        {"0.05 octave apart share one crossover", {{f100, f1k, 24, 24}, {f1k + 0.05f, f4k, 6, 48}},
         {{f100, 24}, {f1k, 24}, {f4k, 48}}, "-++-", {1, 2}},
        {"0.2 octave apart get an inactive gap", {{f100, f1k, 24, 12}, {f1k + 0.2f, f4k, 6, 48}},
         {{f100, 24}, {f1k, 12}, {f1k + 0.2f, 6}, {f4k, 48}}, "-+-+-", {1, 3}},
        {"slots out of frequency order", {{oct(2000), oct(8000), 24, 24}, {oct(50), oct(200), 24, 24}},
         {{oct(50), 24}, {oct(200), 24}, {oct(2000), 24}, {oct(8000), 24}}, "-+-+-", {3, 1}},
    };
    // clang-format on
    LayoutCase six{"six bands with gaps", {}, {}, "", {}};
    for (int b = 0; b < 6; ++b) {
        const float low = 5.5f + 1.5f * b;
        six.bands.push_back({low, low + 1.0f, 24, 24});
        six.crossovers.insert(six.crossovers.end(), {{low, 24}, {low + 1.0f, 24}});
        six.active += "-+";
        six.modelBandOfSlot.push_back(2 * b + 1);
    }
    six.active += "-";
    cases.push_back(six);
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        CrossoverMultiBandModel model;
        FloatingMultiBandModel layout(&model);
        place(layout, c.bands);
        ASSERT_EQ(model.bandCount(), static_cast<int32_t>(c.active.size()));
        ASSERT_EQ(model.crossoverCount(), static_cast<int32_t>(c.crossovers.size()));
        for (int32_t k = 0; k < model.crossoverCount(); ++k) {
            EXPECT_NEAR(model.crossover(k).frequencyOctaves(), c.crossovers[k].first, 1e-5) << k;
            EXPECT_EQ(model.crossover(k).slopeDbPerOctave(), c.crossovers[k].second) << k;
        }
        for (int32_t j = 0; j < model.bandCount(); ++j)
            EXPECT_EQ(model.band(j).active().get(), c.active[j] == '+') << "model band " << j;
        for (int32_t slot = 0; slot < 6; ++slot) {
            const std::size_t i = static_cast<std::size_t>(slot);
            EXPECT_EQ(layout.band(slot).modelBandIndex().get(),
                      i < c.modelBandOfSlot.size() ? c.modelBandOfSlot[i] : -1);
        }
    }
}

TEST(FloatingMultiBandModel, ChangesCoalesceAndBypassDoesNotRelayout) {
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout(&model);
    int modelEvents = 0, layoutEvents = 0;
    model.changedEvent().addFunction([&](void*) { ++modelEvents; });
    layout.layoutEvent().addFunction([&](void*) { ++layoutEvents; });

    const auto events = [&] { return std::pair{layoutEvents, modelEvents}; };
    place(layout, {{oct(100), oct(1000), 24, 24}, {oct(2000), oct(8000), 24, 24}});
    EXPECT_EQ(events(), std::pair(1, 1));  // eight property changes, one layout, one notification
    EXPECT_EQ(model.bandCount(), 5);
    layout.band(1).bypassed() = true;
    EXPECT_EQ(events(), std::pair(1, 1));
    EXPECT_EQ(layout.band(1).modelBandIndex().get(), 3);
    // Outside a hold each change lays out at once.
    layout.band(1).lowFrequencyOctaves() = oct(1500);
    EXPECT_EQ(events(), std::pair(2, 2));
    EXPECT_NEAR(model.crossover(2).frequencyOctaves(), oct(1500), 1e-5);
    // An unmoved layout notifies nothing: a band under 0.8 octave stays 0.8 octave wide.
    layout.band(0).highFrequencyOctaves() = oct(120);
    EXPECT_EQ(events(), std::pair(3, 3));
    layout.band(0).highFrequencyOctaves() = oct(130);
    EXPECT_EQ(events(), std::pair(4, 3));
    EXPECT_NEAR(model.crossover(1).frequencyOctaves(), oct(100) + 0.8f, 1e-5);

    layout.band(0).used() = false;
    EXPECT_EQ(model.bandCount(), 3);
    EXPECT_EQ(layout.band(0).modelBandIndex().get(), -1);
    EXPECT_EQ(layout.band(1).modelBandIndex().get(), 1);
}

// A band's linear-phase shape at f Hz by the formula: halves 1 / (1 + (f / fc)^(S/6)) or 1 - that.
double continuousSlopeBand(const CrossoverMultiBandModel::Band& band, double f) {
    const auto half = [f](const CrossoverMultiBandModel::Crossover& c, int32_t side) {
        const double fc = std::max(std::exp2(double(c.frequencyOctaves())), 1.0);
        const double low =
            1.0 / (1.0 + std::pow(std::max(f, 0.0) / fc, c.slopeDbPerOctave() / 6.0));
        return side == 0 ? low : 1.0 - low;
    };
    if (band.leafCrossover() == nullptr) return 1.0;
    double r = half(*band.leafCrossover(), band.leafSide());
    for (auto* c = band.leafCrossover(); c->parent() != nullptr; c = c->parent())
        r *= half(*c->parent(), c->side());
    return r;
}

// Runs of responses (the kernels' path) equal single ones and sum to 1; linear-phase ones are
// within 1e-10 relative (+ one rounding) of the formula, also at 0 Hz and for extreme slopes.
TEST(CrossoverMultiBandModel, BandResponsesSumToOneInEveryMode) {
    const ProcessingMode modes[] = {ProcessingMode::kLinearPhase, ProcessingMode::kDynamicPhase,
                                    ProcessingMode::kMinimumPhase};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        CrossoverMultiBandModel model;
        FloatingMultiBandModel layout(&model);
        randomLayout(layout, rng, seed % 8 == 0);
        model.sampleRate() = seed % 2 ? 44100.0f : 96000.0f;
        if (seed % 5 == 0 && model.crossoverCount() > 0)
            model.crossover(0).slopeDbPerOctave() =
                std::vector{0.0f, 1e30f, -24.0f, 300.0f}[seed % 4];
        // The display's grid, and the kernel builder's linear grid from 0 Hz to Nyquist.
        if (seed % 3 == 0) model.mapping().configure(true, 20.0, 20000.0, 255);
        if (seed % 3 == 1) model.mapping().configure(false, 0.0, model.sampleRate() / 2.0, 1024);
        const int32_t n = model.mapping().size();
        for (const ProcessingMode mode : modes) {
            model.processingMode() = mode;
            std::vector<Complex> sum(static_cast<std::size_t>(n)), run(sum.size() + 2);
            for (int32_t j = 0; j < model.bandCount(); ++j) {
                model.band(j).responses(-1, n + 2, run.data());  // one point off each end
                for (int32_t i = -1; i <= n; ++i)
                    ASSERT_EQ(run[i + 1], model.band(j).response(i)) << static_cast<int>(mode);
                for (int32_t i = 0; i < n; ++i) {
                    if (mode == ProcessingMode::kLinearPhase) {
                        const double f = model.mapping().frequencyHz(i);
                        const double exact = continuousSlopeBand(model.band(j), f);
                        ASSERT_NEAR(run[i + 1].real(), exact, 1e-10 * std::fabs(exact) + 2.3e-16)
                            << f;
                    }
                    sum[i] += run[i + 1];
                }
            }
            for (int32_t i = 0; i < n; ++i)
                ASSERT_LT(std::abs(sum[i] - 1.0), 1e-12) << static_cast<int>(mode) << " " << i;
        }
    }
}

// 100 Hz .. 1 kHz passes 316 Hz, stops 2 octaves out; halves 0.5 at crossover (1/(1+j) if 1st
// order).
TEST(CrossoverMultiBandModel, ResponsesHaveTheCrossoverShapes) {
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout(&model);
    place(layout, {{oct(100), oct(1000), 24, 24}});
    model.sampleRate() = 48000.0f;
    for (const ProcessingMode mode :
         {ProcessingMode::kLinearPhase, ProcessingMode::kMinimumPhase}) {
        model.processingMode() = mode;
        model.mapping().configure(true, 20.0, 20000.0, 1000);
        EXPECT_GT(std::abs(model.band(1).responseAtFrequency(316.0)), 0.97);
        EXPECT_LT(std::abs(model.band(1).responseAtFrequency(25.0)), 0.01);
        EXPECT_LT(std::abs(model.band(1).responseAtFrequency(10000.0)), 0.001);
        model.mapping().configure(true, 1000.0, 20000.0, 64);  // index 0 sits at 1000 Hz
        for (const float slope : {6.0f, 24.0f, 48.0f}) {
            model.crossover(1).slopeDbPerOctave() = slope;
            const bool firstOrder = mode == ProcessingMode::kMinimumPhase && slope < 9.0f;
            const Complex half = model.crossover(1).halfResponse(0, 0);
            EXPECT_LT(std::abs(half - Complex(0.5, firstOrder ? -0.5 : 0.0)), 1e-5) << slope;
        }
        model.crossover(1).slopeDbPerOctave() = 24.0f;
    }
}

TEST(CrossoverMultiBandModel, CachesFillInOrderAndEmptyOnEveryChange) {
    CrossoverMultiBandModel model;
    model.bandCount() = 2;
    model.processingMode() = ProcessingMode::kMinimumPhase;
    auto& crossover = model.crossover(0);
    auto& source = crossover.responseSource();
    const int32_t n = model.mapping().size();
    auto sweep = [&] {
        std::vector<Complex> v(static_cast<std::size_t>(n));
        source.responses(0, n, v.data());
        return v;
    };
    source.response(5);  // out of order: computed, not stored
    EXPECT_EQ(source.fillCount(), 0);
    sweep();
    EXPECT_EQ(source.fillCount(), n);
    // Each change empties the cache; new values equal a fresh model's with all changes so far.
    const std::function<void(CrossoverMultiBandModel&)> changes[] = {
        [](auto& m) { m.crossover(0).frequencyOctaves() = 11.0f; },
        [](auto& m) { m.crossover(0).slopeDbPerOctave() = 6.0f; },
        [](auto& m) { m.sampleRate() = 96000.0f; },
        [](auto& m) { m.processingMode() = ProcessingMode::kLinearPhase; }};
    for (int32_t c = 0; c < 4; ++c) {
        auto fresh = std::make_unique<CrossoverMultiBandModel>();
        fresh->bandCount() = 2;
        fresh->processingMode() = ProcessingMode::kMinimumPhase;
        for (int32_t k = 0; k <= c; ++k)
            changes[k](*fresh);
        std::vector<Complex> expected(static_cast<std::size_t>(n));
        fresh->crossover(0).responseSource().responses(0, n, expected.data());
        const std::vector<Complex> before = sweep();
        changes[c](model);
        EXPECT_EQ(source.fillCount(), 0) << c;
        EXPECT_EQ(sweep(), expected) << c;
        EXPECT_NE(before, expected) << c;
    }
    // A move within the float tolerance keeps the cache (0.5 octave: one float step is 6e-8).
    crossover.frequencyOctaves() = 0.5f;
    sweep();
    crossover.frequencyOctaves() = std::nextafter(0.5f, 1.0f);
    EXPECT_EQ(source.fillCount(), n);
    // So does a new band count; a new grid empties it and the cache follows the new size.
    model.bandCount() = 5;
    EXPECT_EQ(source.fillCount(), n);
    model.mapping().pointCount() = 512;
    EXPECT_EQ(source.fillCount(), 0);
    source.responses(0, 512, std::vector<Complex>(512).data());
    EXPECT_EQ(source.fillCount(), 512);
}

TEST(DiscreteFrequencyResponseSource, MappingSnapsToTheNearestGridPoint) {
    DiscreteFrequencyResponseSource::Mapping mapping;
    for (const bool logarithmic : {false, true}) {
        mapping.configure(logarithmic, 20.0, 20000.0, 255);
        const int32_t n = mapping.size();
        ASSERT_EQ(n, 255);
        EXPECT_DOUBLE_EQ(mapping.frequencyHz(0), 20.0);
        // The highest frequency is one step beyond the last point.
        const double next = logarithmic ? mapping.frequencyHz(n - 1) * std::exp(mapping.step())
                                        : mapping.frequencyHz(n - 1) + mapping.step();
        EXPECT_NEAR(next, 20000.0, 1e-6);
        for (int32_t i = 0; i + 1 < n; ++i) {
            const double a = mapping.frequencyHz(i), b = mapping.frequencyHz(i + 1);
            const double mid = logarithmic ? std::sqrt(a * b) : 0.5 * (a + b);
            EXPECT_TRUE(mapping.indexOf(a) == i && mapping.indexOf(mid * 0.999) == i &&
                        mapping.indexOf(mid * 1.001) == i + 1)
                << i;
        }
        EXPECT_TRUE(mapping.indexOf(1.0) == 0 && mapping.indexOf(1e6) == n - 1);
    }
}

}  // namespace
}  // namespace tessel
