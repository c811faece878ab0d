#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "params/IndexedPluginParameter.h"
#include "params/ParameterCollection.h"

namespace tessel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

enum class Oversampling : std::int32_t { Off = 1, Twice = 2, FourTimes = 4 };

struct RecordingObserver : ParameterValueObserver {
    std::vector<std::tuple<int, float, int>> changes;
    void parameterValueChanged(int identifier, float value, int flag) override {
        changes.emplace_back(identifier, value, flag);
    }
};

TEST(IndexedPluginParameter, ChoiceNamesPrintAndParse) {
    IndexedPluginParameter<int> p("Oversampling", nullptr, "Off,2x,4x", 0);
    EXPECT_TRUE(p.discrete());
    EXPECT_TRUE(p.hasChoiceNames());
    EXPECT_FALSE(p.acceptsTypedValue());
    EXPECT_EQ(p.maximum(), 2.0f);
    EXPECT_EQ(p.textOfValue(1.0f), "2x");
    EXPECT_EQ(p.textOfValue(1.6f), "4x");
    struct Case {
        const char* text;
        bool ok;
        float value;
    };
    for (const Case c :
         {Case{"4x", true, 2}, Case{" 4X ", true, 2}, Case{"off", true, 0}, Case{"1", true, 1},
          Case{"+2", true, 2}, Case{"3", false, 0}, Case{"-1", false, 0}, Case{"1.5", false, 0},
          Case{"", false, 0}, Case{"8x", false, 0}}) {
        float value = -1.0f;
        std::string reason;
        EXPECT_EQ(p.valueFromText(c.text, value, reason), c.ok) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(reason.empty(), c.ok) << c.text;
    }
    // An exact match wins over one that ignores case.
    IndexedPluginParameter<int> cased("Cased", nullptr, "a,A", 0);
    float value = 0.0f;
    std::string reason;
    ASSERT_TRUE(cased.valueFromText("A", value, reason));
    EXPECT_EQ(value, 1.0f);
}

TEST(IndexedPluginParameter, ValueTableMapsIndicesToStoredValues) {
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
