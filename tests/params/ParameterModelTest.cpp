#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "params/FloatPluginParameter.h"
#include "params/GenericPluginBase.h"
#include "params/ParameterCollection.h"
#include "params/ParameterUnits.h"
#include "support/Octave.h"

namespace tessel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct RecordingObserver : ParameterValueObserver {
    std::vector<std::tuple<int, float, int>> changes;
    void parameterValueChanged(int identifier, float value, int flag) override {
        changes.emplace_back(identifier, value, flag);
    }
};

struct RecordingListener : FloatPluginParameter::Listener {
    std::vector<float>* log;
    float tag;
    void linearValueChanged(float valueLinear) override {
        log->push_back(tag);
        log->push_back(valueLinear);
    }
};

TEST(ParameterModel, CollectionAssignsIdentifiersAndForwardsRealChangesOnly) {
    RecordingObserver observer;
    ParameterCollection collection(&observer);
    FloatPluginParameter a("A", &collection, -30.0f, 30.0f, 0.0f);
    FloatPluginParameter b("B", &collection);
    const FloatPluginParameter loose("Loose");
    EXPECT_EQ(a.identifier(), 0);
    EXPECT_EQ(b.identifier(), 1);
    EXPECT_EQ(loose.identifier(), -1);
    EXPECT_EQ(collection.parameter(1), &b);
    EXPECT_EQ(collection.parameter(2), nullptr);
    EXPECT_EQ(a.hostName(), "A");
    EXPECT_TRUE(a.automatable());
    EXPECT_FALSE(a.discrete());

    a.setValue(12.0f, 7);
    a.setValue(12.0f + 1e-7f, 8);  // within epsilon: no change
    a.setValue(kNaN, 9);           // ignored
    a.setValue(100.0f, 10);        // clamped to the maximum
    a.setValue(-kInf, 11);         // clamped to the minimum
    b.setValue(0.25f, 3);
    const std::vector<std::tuple<int, float, int>> expected = {
        {0, 12.0f, 7}, {0, 30.0f, 10}, {0, -30.0f, 11}, {1, 0.25f, 3}};
    EXPECT_EQ(observer.changes, expected);
    EXPECT_EQ(collection.values(), (std::vector<float>{-30.0f, 0.25f}));

    // Values assigned from a longer array: common length only, flag 0, clamped as usual.
    observer.changes.clear();
    const std::vector<float> other = {50.0f, 0.5f, 99.0f};
    collection.assignValues(other);
    EXPECT_EQ(observer.changes,
              (std::vector<std::tuple<int, float, int>>{{0, 30.0f, 0}, {1, 0.5f, 0}}));
}

TEST(ParameterModel, PluginBaseRegistersParametersAndResolvesNames) {
    struct Plugin final : GenericPluginBase {
        void parameterValueChanged(int identifier, float value, int flag) override {
            changes.emplace_back(identifier, value, flag);
        }
        std::vector<std::tuple<int, float, int>> changes;
    } plugin;
    FloatPluginParameter gain("Gain", &plugin, -1.0f, 1.0f, 0.0f);
    FloatPluginParameter mix("Mix", &plugin);
    EXPECT_EQ(plugin.parameterCount(), 2);
    EXPECT_EQ(plugin.parameterByIdentifier(1), &mix);
    EXPECT_EQ(plugin.parameterByIdentifier(2), nullptr);
    EXPECT_EQ(plugin.identifierOfName("Gain"), 0);
    EXPECT_EQ(plugin.identifierOfName("gain"), -1) << "names match exactly";
    plugin.enterParameterName("Dry/Wet", mix.identifier());
    EXPECT_EQ(plugin.identifierOfName("Dry/Wet"), 1);
    EXPECT_EQ(plugin.registerParameterSetName("Band 1"), 0);
    EXPECT_EQ(plugin.registerParameterSetName("Band 2"), 1);
    mix.setValue(0.25f, 7);
    ASSERT_EQ(plugin.changes.size(), 1u);
    EXPECT_EQ(plugin.changes[0], std::make_tuple(1, 0.25f, 7));
}

TEST(ParameterModel, ListenersReceiveTheLinearValueInRegistrationOrder) {
    FloatPluginParameter level("Level", nullptr, -30.0f, 30.0f, 0.0f);
    level.textFormat().setValueMap([](float db) { return std::pow(10.0f, db / 20.0f); },
                                   [](float gain) { return 20.0f * std::log10(gain); });
    std::vector<float> log;
    RecordingListener first, second;
    first.log = second.log = &log;
    first.tag = 1.0f;
    second.tag = 2.0f;
    level.addValueListener(&first);
    level.addValueListener(&second);
    level.notifyValueListeners(20.0f);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], 1.0f);
    EXPECT_NEAR(log[1], 10.0f, 1e-5);
    EXPECT_EQ(log[2], 2.0f);
    EXPECT_NEAR(log[3], 10.0f, 1e-5);
    level.removeValueListener(&first);
    log.clear();
    level.notifyValueListeners(0.0f);
    EXPECT_EQ(log, (std::vector<float>{2.0f, 1.0f}));
}

TEST(ParameterModel, ConversionsStayInsideTheRangeForAnyInput) {
    FloatPluginParameter p("P", nullptr, 2.0f, 6.0f, 3.0f);
    struct Case {
        float normalised, value;
    };
    for (const Case c : {Case{0.0f, 2.0f}, Case{0.25f, 3.0f}, Case{1.0f, 6.0f}, Case{-1.0f, 2.0f},
                         Case{7.0f, 6.0f}, Case{kInf, 6.0f}, Case{kNaN, 2.0f}})
        EXPECT_FLOAT_EQ(p.valueOfNormalised(c.normalised), c.value) << c.normalised;
    EXPECT_FLOAT_EQ(p.normalisedOfValue(5.0f), 0.75f);
    EXPECT_FLOAT_EQ(p.normalisedOfValue(kInf), 1.0f);
    EXPECT_FLOAT_EQ(p.normalisedOfValue(kNaN), 0.0f);
    EXPECT_FLOAT_EQ(p.valueFromDisplay(kNaN), 2.0f);
    EXPECT_FLOAT_EQ(p.valueFromLinear(-kInf), 2.0f);
    EXPECT_EQ(p.textOfValue(kNaN), "2.000");

    // A range given backwards is put in order; non-finite bounds are refused.
    p.setRange(10.0f, -10.0f);
    p.setRange(kNaN, 1.0f);
    EXPECT_EQ(p.minimum(), -10.0f);
    EXPECT_EQ(p.maximum(), 10.0f);
}

TEST(ParameterModel, ScaledMoveFollowsTheReferenceInProportionOrByDifference) {
    FloatPluginParameter freq("Freq", nullptr, float(kOctave30Hz), float(kOctave30kHz));
    freq.textFormat().setUnit(&ExpFreqParameterUnit::instance());
    const auto oct = [](double hz) { return float(hzToOctave(hz)); };
    // Reference 1 kHz -> 2 kHz: 100 Hz follows to 200 Hz; 20 kHz would leave the range.
    EXPECT_NEAR(freq.scaledMove(oct(100), oct(1000), oct(2000)), oct(200), 1e-5);
    EXPECT_FLOAT_EQ(freq.scaledMove(oct(20000), oct(1000), oct(2000)), float(kOctave30kHz));

    FloatPluginParameter range("Range", nullptr, -30.0f, 30.0f);
    EXPECT_FLOAT_EQ(range.scaledMove(-6.0f, 3.0f, 6.0f), -12.0f);
    EXPECT_FLOAT_EQ(range.scaledMove(-6.0f, 0.0f, 5.0f), -1.0f);  // reference at zero: add
    EXPECT_FLOAT_EQ(range.scaledMove(kNaN, 0.0f, 5.0f), 5.0f);    // NaN counts as current value
}

// Every unit over its range: value -> text -> value lands on a value that prints the same text
// and whose display is within the resolution the text shows.
TEST(ParameterModel, TextRoundTripsOverEachUnitsRange) {
    struct Case {
        const FloatPluginParameterUnit* unit;
        float minimum, maximum;
    };
    const Case cases[] = {
        {&FreqParameterUnit::instance(), 20.0f, 20000.0f},
        {&HzParameterUnit::instance(), 0.0f, 100.0f},
        {&ExpFreqParameterUnit::instance(), float(kOctave30Hz), float(kOctave30kHz)},
        {&ExpFreqWithZeroParameterUnit::instance(), -5.643856f, float(kOctave30kHz)},
        {&MsParameterUnit::instance(), 0.0f, 5000.0f},
        {&SecParameterUnit::instance(), 0.001f, 10.0f},
        {&DBParameterUnitBase::instance(), -48.0f, 48.0f},
        {&DBParameterUnit::instance(), -30.0f, 30.0f},
        {&DBParameterUnit::truePeakInstance(), -20.0f, 0.0f},
        {&DBRangeParameterUnit::instance(), 0.0f, 48.0f},
        {&PercentParameterUnit::instance(), 0.0f, 100.0f},
        {&RatioParameterUnit::instance(), 1.0f, 100.0f},
        {&SlopeParameterUnit::instance(), 6.0f, 48.0f},
        {&OctavesParameterUnit::instance(), -2.0f, 2.0f},
    };
    for (const Case& c : cases) {
        FloatPluginParameter p("P", nullptr, c.minimum, c.maximum);
        p.textFormat().setUnit(c.unit);
        for (int i = 0; i <= 400; ++i) {
            const float value = c.minimum + (c.maximum - c.minimum) * float(i) / 400.0f;
            const std::string text = p.textOfValue(value);
            float parsed = 0.0f;
            std::string reason;
            ASSERT_TRUE(p.valueFromText(text, parsed, reason))
                << c.unit->name() << " " << text << ": " << reason;
            EXPECT_EQ(p.textOfValue(parsed), text) << c.unit->name();
            // Resolution of the text: one unit in its last digit (seconds shown for ms count
            // x1000).
            const std::size_t dot = text.find('.');
            std::size_t decimals = 0;
            while (dot != std::string::npos && dot + 1 + decimals < text.size() &&
                   std::isdigit(static_cast<unsigned char>(text[dot + 1 + decimals])))
                ++decimals;
            double step = std::pow(10.0, -double(decimals));
            if (c.unit == &MsParameterUnit::instance() && text.ends_with("sec")) step *= 1000.0;
            if (c.unit == &SecParameterUnit::instance() && text.ends_with(" ms")) step *= 0.001;
            EXPECT_LE(std::fabs(p.displayOfValue(parsed) - p.displayOfValue(value)),
                      step * 0.5 + 1e-4 * std::fabs(p.displayOfValue(value)))
                << c.unit->name() << " " << text;
        }
    }
}

TEST(ParameterModel, UnitsAreProcessWideAndDistinct) {
    const auto& units = allParameterUnits();
    EXPECT_EQ(units.size(), 14u);
    EXPECT_EQ(std::set<const FloatPluginParameterUnit*>(units.begin(), units.end()).size(), 14u);
    EXPECT_EQ(&ExpFreqParameterUnit::instance(), &ExpFreqParameterUnit::instance());
    EXPECT_EQ(DBParameterUnit::truePeakInstance().name(), "dBTP");
    EXPECT_NE(DBParameterUnit::truePeakInstance().findTypedUnit("X"), nullptr);
    EXPECT_EQ(OctavesParameterUnit::instance().typedUnits().size(), 9u);
}

}  // namespace
}  // namespace tessel
