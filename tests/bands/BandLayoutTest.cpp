// The band layout: user bands laid out as contiguous model bands (gaps, shared crossovers,
// minimum widths, the edges of the range), the crossover tree, model band responses that sum to
// 1 + 0j on every grid in every processing mode, the response caches and coalesced updates.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "bands/FrequencyResponseSource.h"

namespace tessel {
namespace {

using Complex = FrequencyResponseSource::Complex;

float oct(double hz) {
    return static_cast<float>(std::log2(hz));
}

struct UserBand {
    float lowOctaves, highOctaves, lowSlope, highSlope;
};

struct LayoutCase {
    const char* name;
    std::vector<UserBand> bands;  // placed in slots 0.., all used
    std::vector<float> crossovers;
    std::vector<float> crossoverSlopes;
    std::vector<bool> active;
    std::vector<int32_t> modelBandOfSlot;
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

TEST(FloatingMultiBandModel, LaysOutUserBandsAsContiguousModelBands) {
    const float k30Hz = FloatingMultiBandModel::kLowestFrequencyOctaves;
    const float k30kHz = FloatingMultiBandModel::kHighestFrequencyOctaves;
    std::vector<LayoutCase> cases = {
        {"no band used", {}, {}, {}, {false}, {}},
        {"one band 100 Hz to 1 kHz",
         {{oct(100), oct(1000), 12, 36}},
         {oct(100), oct(1000)},
         {12, 36},
         {false, true, false},
         {1}},
        {"low edge within 0.1 octave of 30 Hz",
         {{k30Hz + 0.05f, oct(1000), 24, 24}},
         {oct(1000)},
         {24},
         {true, false},
         {0}},
        {"low edge 0.15 octave above 30 Hz",
         {{k30Hz + 0.15f, oct(1000), 18, 24}},
         {k30Hz + 0.15f, oct(1000)},
         {18, 24},
         {false, true, false},
         {1}},
        {"high edge within 0.1 octave of 30 kHz",
         {{oct(1000), k30kHz - 0.05f, 24, 24}},
         {oct(1000)},
         {24},
         {false, true},
         {1}},
        {"narrower than 0.8 octave",
         {{oct(1000), oct(1000) + 0.3f, 24, 30}},
         {oct(1000), oct(1000) + 0.8f},
         {24, 30},
         {false, true, false},
         {1}},
        {"overlapping bands share the lower band's upper edge",
         {{oct(100), oct(1000), 12, 18}, {oct(500), oct(4000), 30, 42}},
         {oct(100), oct(1000), oct(4000)},
         {12, 18, 42},
         {false, true, true, false},
         {1, 2}},
        {"0.05 octave apart share one crossover",
         {{oct(100), oct(1000), 24, 24}, {oct(1000) + 0.05f, oct(4000), 6, 48}},
         {oct(100), oct(1000), oct(4000)},
         {24, 24, 48},
         {false, true, true, false},
         {1, 2}},
        {"0.2 octave apart get an inactive gap",
         {{oct(100), oct(1000), 24, 12}, {oct(1000) + 0.2f, oct(4000), 6, 48}},
         {oct(100), oct(1000), oct(1000) + 0.2f, oct(4000)},
         {24, 12, 6, 48},
         {false, true, false, true, false},
         {1, 3}},
        {"slots out of frequency order",
         {{oct(2000), oct(8000), 24, 24}, {oct(50), oct(200), 24, 24}},
         {oct(50), oct(200), oct(2000), oct(8000)},
         {24, 24, 24, 24},
         {false, true, false, true, false},
         {3, 1}},
    };
    LayoutCase six{"six bands with gaps", {}, {}, {}, {}, {}};
    for (int b = 0; b < 6; ++b) {
        const float low = 5.5f + 1.5f * b;
        six.bands.push_back({low, low + 1.0f, 24, 24});
        six.crossovers.insert(six.crossovers.end(), {low, low + 1.0f});
        six.crossoverSlopes.insert(six.crossoverSlopes.end(), {24, 24});
        six.active.insert(six.active.end(), {false, true});
        six.modelBandOfSlot.push_back(2 * b + 1);
    }
    six.active.push_back(false);
    cases.push_back(six);

    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        CrossoverMultiBandModel model;
        FloatingMultiBandModel layout(&model);
        place(layout, c.bands);
        const int32_t bands = model.bandCount();
        ASSERT_EQ(bands, static_cast<int32_t>(c.active.size()));
        ASSERT_EQ(model.crossoverCount(), static_cast<int32_t>(c.crossovers.size()));
        for (int32_t k = 0; k < model.crossoverCount(); ++k) {
            EXPECT_NEAR(model.crossover(k).frequencyOctaves(), c.crossovers[k], 1e-5) << k;
            EXPECT_EQ(model.crossover(k).slopeDbPerOctave(), c.crossoverSlopes[k]) << k;
        }
        for (int32_t j = 0; j < bands; ++j)
            EXPECT_EQ(model.band(j).active().get(), c.active[j]) << "model band " << j;
        for (std::size_t slot = 0; slot < c.modelBandOfSlot.size(); ++slot)
            EXPECT_EQ(layout.band(static_cast<int32_t>(slot)).modelBandIndex().get(),
                      c.modelBandOfSlot[slot]);
        for (std::size_t slot = c.bands.size(); slot < 6; ++slot)
            EXPECT_EQ(layout.band(static_cast<int32_t>(slot)).modelBandIndex().get(), -1);
    }
}

TEST(FloatingMultiBandModel, ChangesCoalesceAndBypassDoesNotRelayout) {
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout(&model);
    int modelEvents = 0, layoutEvents = 0;
    model.changedEvent().addFunction([&](void*) { ++modelEvents; });
    layout.layoutEvent().addFunction([&](void*) { ++layoutEvents; });

    place(layout, {{oct(100), oct(1000), 24, 24}, {oct(2000), oct(8000), 24, 24}});
    EXPECT_EQ(modelEvents, 1);  // eight property changes, one layout, one notification
    EXPECT_EQ(layoutEvents, 1);
    EXPECT_EQ(model.bandCount(), 5);

    layout.band(1).bypassed() = true;
    EXPECT_EQ(modelEvents, 1);
    EXPECT_EQ(layoutEvents, 1);
    EXPECT_EQ(layout.band(1).modelBandIndex().get(), 3);

    // Outside a hold each change lays out at once.
    layout.band(1).lowFrequencyOctaves() = oct(1500);
    EXPECT_EQ(layoutEvents, 2);
    EXPECT_EQ(modelEvents, 2);
    EXPECT_NEAR(model.crossover(2).frequencyOctaves(), oct(1500), 1e-5);
    // A layout pass whose result does not move tells the crossover model's listeners nothing:
    // a band narrower than 0.8 octave stays 0.8 octave wide however its upper edge moves.
    layout.band(0).highFrequencyOctaves() = oct(120);
    const int layoutsBefore = layoutEvents, modelEventsBefore = modelEvents;
    layout.band(0).highFrequencyOctaves() = oct(130);
    EXPECT_EQ(layoutEvents, layoutsBefore + 1);
    EXPECT_EQ(modelEvents, modelEventsBefore);
    EXPECT_NEAR(model.crossover(1).frequencyOctaves(), oct(100) + 0.8f, 1e-5);

    layout.band(0).used() = false;
    EXPECT_EQ(model.bandCount(), 3);
    EXPECT_EQ(layout.band(0).modelBandIndex().get(), -1);
    EXPECT_EQ(layout.band(1).modelBandIndex().get(), 1);
}

TEST(CrossoverMultiBandModel, TreeIsBalancedAndEveryBandHangsOnItsCrossovers) {
    CrossoverMultiBandModel model;
    for (int32_t bands = 1; bands <= model.maxBandCount(); ++bands) {
        SCOPED_TRACE(::testing::Message() << bands << " bands");
        model.bandCount() = bands;
        const int32_t crossovers = bands - 1;
        if (crossovers == 0) {
            EXPECT_EQ(model.rootIndex(), -1);
            EXPECT_EQ(model.band(0).leafCrossover(), nullptr);
            continue;
        }
        const auto& root = model.crossover(model.rootIndex());
        EXPECT_EQ(root.parentIndex(), -1);
        EXPECT_EQ(root.lowerSize() + root.upperSize() + 1, crossovers);
        EXPECT_LE(std::abs(root.lowerSize() - root.upperSize()), 1);
        for (int32_t j = 0; j < bands; ++j) {
            // Walking up from the leaf, band j must lie below every crossover at or above j and
            // above every crossover below j; the leaf is one of its two neighbours.
            const auto& band = model.band(j);
            ASSERT_NE(band.leafCrossover(), nullptr);
            const int32_t leaf = band.leafCrossover()->index();
            EXPECT_EQ(leaf, band.leafSide() == 0 ? j : j - 1);
            int32_t depth = 0;
            int32_t side = band.leafSide();
            for (const auto* c = band.leafCrossover(); c != nullptr; c = c->parent()) {
                EXPECT_EQ(side == 0, j <= c->index()) << "crossover " << c->index();
                side = c->side();
                ++depth;
            }
            EXPECT_LE(depth, static_cast<int32_t>(std::ceil(std::log2(crossovers + 1.0))));
        }
    }
}

/// Lays out a random set of one to six bands.
void randomLayout(FloatingMultiBandModel& layout, std::mt19937& rng) {
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    UpdatedObject::ScopedHold hold(layout);
    const int used = 1 + static_cast<int>(rng() % 6);
    for (int b = 0; b < 6; ++b) {
        auto& band = layout.band(b);
        band.used() = b < used;
        const float low = 4.9f + 10.0f * unit(rng);
        band.setRange(low, low + 2.5f * unit(rng));
        band.lowSlopeDbPerOctave() = 1.0f + 47.0f * unit(rng);
        band.highSlopeDbPerOctave() = 1.0f + 47.0f * unit(rng);
    }
}

TEST(CrossoverMultiBandModel, BandResponsesSumToOneInEveryMode) {
    const ProcessingMode modes[] = {ProcessingMode::kLinearPhase, ProcessingMode::kDynamicPhase,
                                    ProcessingMode::kMinimumPhase};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        CrossoverMultiBandModel model;
        FloatingMultiBandModel layout(&model);
        randomLayout(layout, rng);
        model.sampleRate() = seed % 2 ? 44100.0f : 96000.0f;
        // The display's grid, and the kernel builder's linear grid from 0 Hz to Nyquist.
        if (seed % 3 == 0) model.mapping().configure(true, 20.0, 20000.0, 255);
        if (seed % 3 == 1) model.mapping().configure(false, 0.0, model.sampleRate() / 2.0, 1024);
        for (const ProcessingMode mode : modes) {
            model.processingMode() = mode;
            for (int32_t i = 0; i < model.mapping().size(); ++i) {
                Complex sum;
                for (int32_t j = 0; j < model.bandCount(); ++j)
                    sum += model.band(j).response(i);
                ASSERT_NEAR(sum.real(), 1.0, 1e-12)
                    << "mode " << static_cast<int>(mode) << " i " << i;
                ASSERT_NEAR(sum.imag(), 0.0, 1e-12)
                    << "mode " << static_cast<int>(mode) << " i " << i;
            }
        }
    }
}

TEST(CrossoverMultiBandModel, ResponsesHaveTheCrossoverShapes) {
    CrossoverMultiBandModel model;
    FloatingMultiBandModel layout(&model);
    place(layout, {{oct(100), oct(1000), 24, 24}});
    model.sampleRate() = 48000.0f;
    model.mapping().configure(true, 20.0, 20000.0, 1000);
    model.processingMode() = ProcessingMode::kMinimumPhase;
    const auto& band = model.band(1);
    EXPECT_GT(std::abs(band.responseAtFrequency(316.0)), 0.97);  // well inside the band
    EXPECT_LT(std::abs(band.responseAtFrequency(25.0)), 0.01);
    EXPECT_LT(std::abs(band.responseAtFrequency(10000.0)), 0.001);
    EXPECT_GT(std::abs(model.band(0).responseAtFrequency(25.0)), 0.99);

    // Each half is exactly 0.5 at its crossover frequency, except the first-order low side of
    // the minimum-phase modes, 1 / (1 + j).
    model.mapping().configure(true, 1000.0, 20000.0, 64);  // index 0 sits at 1000 Hz
    auto& crossover = model.crossover(1);
    crossover.frequencyOctaves() = static_cast<float>(std::log2(1000.0));
    for (const ProcessingMode mode :
         {ProcessingMode::kLinearPhase, ProcessingMode::kMinimumPhase}) {
        model.processingMode() = mode;
        for (const float slope : {6.0f, 24.0f, 48.0f}) {
            crossover.slopeDbPerOctave() = slope;
            const Complex expected = mode == ProcessingMode::kMinimumPhase && slope < 9.0f
                                         ? Complex(0.5, -0.5)
                                         : Complex(0.5, 0.0);
            EXPECT_NEAR(crossover.halfResponse(0, 0).real(), expected.real(), 1e-5) << slope;
            EXPECT_NEAR(crossover.halfResponse(0, 0).imag(), expected.imag(), 1e-5) << slope;
        }
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
    // A model built fresh with given settings: what any cached value must equal.
    auto fresh = [&](float octaves, float slope, float rate, ProcessingMode mode) {
        auto m = std::make_unique<CrossoverMultiBandModel>();
        m->bandCount() = 2;
        m->processingMode() = mode;
        m->sampleRate() = rate;
        m->crossover(0).frequencyOctaves() = octaves;
        m->crossover(0).slopeDbPerOctave() = slope;
        std::vector<Complex> v(static_cast<std::size_t>(n));
        m->crossover(0).responseSource().responses(0, n, v.data());
        return v;
    };

    source.response(5);  // out of order: computed, not stored
    EXPECT_EQ(source.fillCount(), 0);
    sweep();
    EXPECT_EQ(source.fillCount(), n);

    struct Change {
        const char* name;
        std::function<void()> apply;
        float octaves, slope, rate;
        ProcessingMode mode;
    };
    const Change changes[] = {
        {"frequency", [&] { crossover.frequencyOctaves() = 11.0f; }, 11.0f, 24.0f, 44100.0f,
         ProcessingMode::kMinimumPhase},
        {"slope", [&] { crossover.slopeDbPerOctave() = 6.0f; }, 11.0f, 6.0f, 44100.0f,
         ProcessingMode::kMinimumPhase},
        {"sample rate", [&] { model.sampleRate() = 96000.0f; }, 11.0f, 6.0f, 96000.0f,
         ProcessingMode::kMinimumPhase},
        {"mode", [&] { model.processingMode() = ProcessingMode::kLinearPhase; }, 11.0f, 6.0f,
         96000.0f, ProcessingMode::kLinearPhase},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.name);
        const std::vector<Complex> before = sweep();
        c.apply();
        EXPECT_EQ(source.fillCount(), 0);
        const std::vector<Complex> after = sweep();
        EXPECT_NE(before, after);
        EXPECT_EQ(after, fresh(c.octaves, c.slope, c.rate, c.mode));
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
            EXPECT_EQ(mapping.indexOf(a), i);
            EXPECT_EQ(mapping.indexOf(mid * 0.999), i);
            EXPECT_EQ(mapping.indexOf(mid * 1.001), i + 1);
        }
        EXPECT_EQ(mapping.indexOf(1.0), 0);
        EXPECT_EQ(mapping.indexOf(1e6), n - 1);
    }
}

}  // namespace
}  // namespace tessel
