#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "params/FloatPluginParameter.h"
#include "params/GenericPluginBase.h"
#include "params/IndexedPluginParameter.h"
#include "params/ParameterCollection.h"
#include "params/ParameterUnits.h"
#include "support/Octave.h"

namespace tessel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

enum class Oversampling : std::int32_t { Off = 1, Twice = 2, FourTimes = 4 };

struct RecordingObserver : ParameterValueObserver {
    std::vector<std::tuple<int, float, int>> changes;
    void parameterValueChanged(int identifier, float value, int flag) override {
        changes.emplace_back(identifier, value, flag);
    }
};

// Appends its tag and the rounded linear value it is told.
struct TaggedListener : FloatPluginParameter::Listener {
    TaggedListener(std::string* l, char t) : log(l), tag(t) {}
    void linearValueChanged(float valueLinear) override {
        *log += tag + std::to_string(std::lround(valueLinear));
    }
    std::string* log;
    char tag;
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
    std::string log;
    TaggedListener first(&log, 'a'), second(&log, 'b');
    level.addValueListener(&first);
    level.addValueListener(&second);
    level.notifyValueListeners(20.0f);
    EXPECT_EQ(log, "a10b10") << "20 dB are a gain of 10";
    level.removeValueListener(&first);
    log.clear();
    level.notifyValueListeners(0.0f);
    EXPECT_EQ(log, "b1");
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

TEST(IndexedPluginParameter, ChoicesAndValueTablesMapIndicesToStoredValues) {
    IndexedPluginParameter<int> choices("Choices", nullptr, "Off,2x,4x", 0);
    EXPECT_TRUE(choices.discrete());
    EXPECT_TRUE(choices.hasChoiceNames());
    EXPECT_FALSE(choices.acceptsTypedValue());
    EXPECT_EQ(choices.maximum(), 2.0f);
    EXPECT_EQ(choices.textOfValue(1.6f), "4x") << "the nearest index";

    static constexpr std::int32_t kTable[] = {1, 2, 4};
    std::vector<Oversampling> heard;
    struct Listener : IndexedPluginParameter<Oversampling>::Listener {
        std::vector<Oversampling>* heard;
        void storedValueChanged(Oversampling stored,
                                IndexedPluginParameter<Oversampling>&) override {
            heard->push_back(stored);
        }
    } listener;
    listener.heard = &heard;
    IndexedPluginParameter<Oversampling> p("Factor", nullptr);
    p.setIndexRange(0, 3);  // index 3 lies beyond the table: the last entry serves it
    p.setValueTable(kTable, 3, 0);
    p.addValueListener(&listener);
    EXPECT_FALSE(p.hasChoiceNames());
    EXPECT_TRUE(p.acceptsTypedValue());
    EXPECT_EQ(p.storedValue(), Oversampling::Off);
    p.setValue(2.0f, 0);
    EXPECT_EQ(p.storedValue(), Oversampling::FourTimes);
    EXPECT_EQ(p.linearOfValue(1.0f), 2.0f);
    EXPECT_EQ(p.linearOfValue(3.0f), 4.0f);
    EXPECT_EQ(p.textOfValue(1.0f), "2");
    EXPECT_EQ(p.valueFromLinear(4.0f), 2.0f);
    EXPECT_EQ(p.valueFromLinear(1.4f), 0.0f);  // nearest stored value
    EXPECT_EQ(p.valueFromLinear(kNaN), 0.0f);
    p.notifyValueListeners(1.0f);
    EXPECT_EQ(heard, std::vector<Oversampling>{Oversampling::Twice});
}

TEST(IndexedPluginParameter, SetValueRoundsClampsAndNotifiesOnlyRealChanges) {
    RecordingObserver observer;
    ParameterCollection collection(&observer);
    IndexedPluginParameter<bool> bypass("Bypass", &collection, "Not Bypassed,Bypassed", 0);
    IndexedPluginParameter<int> mode("Mode", &collection, "A,B,C,D", 1);
    EXPECT_EQ(mode.identifier(), 1);
    EXPECT_EQ(mode.currentValue(), 1.0f);
    mode.setValue(1.4f, 5);    // rounds to the current index: nothing
    mode.setValue(2.6f, 6);    // 3
    mode.setValue(kNaN, 7);    // ignored
    mode.setValue(1e30f, 8);   // already at the top
    mode.setValue(-1e30f, 9);  // 0
    bypass.setValue(1.0f, 2);
    EXPECT_TRUE(bypass.storedValue());
    const std::vector<std::tuple<int, float, int>> expected = {
        {1, 3.0f, 6}, {1, 0.0f, 9}, {0, 1.0f, 2}};
    EXPECT_EQ(observer.changes, expected);
}

TEST(IndexedPluginParameter, NormalisedPositionsSnapToTheNearestIndex) {
    IndexedPluginParameter<int> p("P", nullptr, "a,b,c,d", 0);
    struct Case {
        float normalised, value;
    };
    for (const Case c : {Case{0.0f, 0}, Case{0.16f, 0}, Case{0.17f, 1}, Case{0.5f, 2},
                         Case{1.0f, 3}, Case{-3.0f, 0}, Case{9.0f, 3}, Case{kNaN, 0}})
        EXPECT_EQ(p.valueOfNormalised(c.normalised), c.value) << c.normalised;
    EXPECT_FLOAT_EQ(p.normalisedOfValue(2.0f), 2.0f / 3.0f);
    float value = 0.0f;
    EXPECT_TRUE(p.valueOfNormalisedInSection(0.5f, 42, value));  // no sections: whole range
    EXPECT_EQ(value, 2.0f);
    EXPECT_EQ(p.sectionBoundary(42), -1);
}

TEST(IndexedPluginParameter, SectionsAddressSubRangesByKey) {
    IndexedPluginParameter<int> p("P", nullptr);
    p.setIndexRange(0, 10);
    p.setSections({{3, 1}, {7, 2}});
    // key 1: 0..3 (first); key 2: 3..7; key 5, beyond every section: 7..10.
    EXPECT_FLOAT_EQ(p.normalisedInSection(2.0f, 1), 2.0f / 3.0f);
    EXPECT_FLOAT_EQ(p.normalisedInSection(5.0f, 2), 0.5f);
    EXPECT_FLOAT_EQ(p.normalisedInSection(3.0f, 2), 0.0f);  // belongs to the section before
    EXPECT_FLOAT_EQ(p.normalisedInSection(9.0f, 2), 0.0f);
    EXPECT_FLOAT_EQ(p.normalisedInSection(10.0f, 5), 1.0f);
    struct Case {
        float normalised;
        int key;
        bool ok;
        float value;
    };
    for (const Case c : {Case{0.0f, 1, true, 0}, Case{1.0f, 1, true, 3}, Case{0.0f, 2, false, 3},
                         Case{0.5f, 2, true, 5}, Case{1.0f, 2, true, 7}, Case{0.0f, 5, false, 7},
                         Case{0.4f, 5, true, 8}}) {
        float value = -1.0f;
        EXPECT_EQ(p.valueOfNormalisedInSection(c.normalised, c.key, value), c.ok)
            << c.normalised << " " << c.key;
        EXPECT_EQ(value, c.value) << c.normalised << " " << c.key;
    }
    EXPECT_EQ(p.sectionBoundary(2), 7);
    EXPECT_EQ(p.sectionBoundary(3), -1);
}

}  // namespace
}  // namespace tessel
