// Parameters, collections and the plug-in base, indexed parameters, and the product's table:
// identifiers, names, the ratio's scaled move, band state and help texts.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "params/FloatPluginParameter.h"
#include "params/GenericPluginBase.h"
#include "params/IndexedPluginParameter.h"
#include "params/ParameterCollection.h"
#include "params/ParameterUnits.h"
#include "params/TesselParameters.h"
#include "support/Octave.h"

namespace tessel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using Changes = std::vector<std::tuple<int, float, int>>;  // identifier, value, flag

struct RecordingObserver : ParameterValueObserver {
    Changes changes;
    void parameterValueChanged(int identifier, float value, int flag) override {
        changes.emplace_back(identifier, value, flag);
    }
};

TEST(ParameterModel, CollectionAssignsIdentifiersAndForwardsRealChangesOfFloatsAndIndices) {
    RecordingObserver observer;
    ParameterCollection collection(&observer);
    FloatPluginParameter a("A", &collection, -30.0f, 30.0f, 0.0f);
    FloatPluginParameter b("B", &collection);
    const FloatPluginParameter loose("Loose");
    EXPECT_EQ((std::vector<int>{a.identifier(), b.identifier(), loose.identifier()}),
              (std::vector<int>{0, 1, -1}));
    EXPECT_TRUE(collection.parameter(1) == &b && collection.parameter(2) == nullptr);
    a.setValue(12.0f, 7);
    a.setValue(12.0f + 1e-7f, 8);  // within epsilon: no change
    a.setValue(kNaN, 9);           // ignored
    a.setValue(100.0f, 10);        // clamped to the maximum
    a.setValue(-kInf, 11);         // clamped to the minimum
    b.setValue(0.25f, 3);
    EXPECT_EQ(observer.changes,
              (Changes{{0, 12.0f, 7}, {0, 30.0f, 10}, {0, -30.0f, 11}, {1, 0.25f, 3}}));
    EXPECT_EQ(collection.values(), (std::vector<float>{-30.0f, 0.25f}));
    // Values assigned from a longer array: common length only, flag 0, clamped as usual.
    observer.changes.clear();
    collection.assignValues(std::vector<float>{50.0f, 0.5f, 99.0f});
    EXPECT_EQ(observer.changes, (Changes{{0, 30.0f, 0}, {1, 0.5f, 0}}));

    // Indexed parameters round, clamp and report only real changes of the index.
    observer.changes.clear();
    IndexedPluginParameter<bool> bypass("Bypass", &collection, "Not Bypassed,Bypassed", 0);
    IndexedPluginParameter<int> mode("Mode", &collection, "A,B,C,D", 1);
    EXPECT_TRUE(mode.identifier() == 3 && mode.currentValue() == 1.0f);
    mode.setValue(1.4f, 5);    // rounds to the current index: nothing
    mode.setValue(2.6f, 6);    // 3
    mode.setValue(kNaN, 7);    // ignored
    mode.setValue(1e30f, 8);   // already at the top
    mode.setValue(-1e30f, 9);  // 0
    bypass.setValue(1.0f, 2);
    EXPECT_TRUE(bypass.storedValue());
    EXPECT_EQ(observer.changes, (Changes{{3, 3.0f, 6}, {3, 0.0f, 9}, {2, 1.0f, 2}}));
}

TEST(ParameterModel, PluginBaseRegistersParametersResolvesNamesAndTellsListenersInOrder) {
    struct Plugin final : GenericPluginBase {
        void parameterValueChanged(int identifier, float value, int flag) override {
            changes.emplace_back(identifier, value, flag);
        }
        Changes changes;
    } plugin;
    FloatPluginParameter gain("Gain", &plugin, -1.0f, 1.0f, 0.0f);
    FloatPluginParameter mix("Mix", &plugin);
    EXPECT_TRUE(plugin.parameterCount() == 2 && plugin.parameterByIdentifier(1) == &mix &&
                !plugin.parameterByIdentifier(2));
    EXPECT_TRUE(plugin.parameterByName("Gain") == &gain && plugin.parameterByName("mIX") == &mix &&
                !plugin.parameterByName("Gai"));
    plugin.enterParameterName("Dry/Wet", mix.identifier());
    EXPECT_EQ(plugin.parameterByName("Dry/Wet"), &mix);
    mix.setValue(0.25f, 7);
    EXPECT_EQ(plugin.changes, (Changes{{1, 0.25f, 7}}));

    // Listeners hear the linear value (20 dB: a gain of 10), in registration order.
    struct Tagged : FloatPluginParameter::Listener {
        Tagged(std::string* l, char t) : log(l), tag(t) {}
        void linearValueChanged(float v) override { *log += tag + std::to_string(std::lround(v)); }
        std::string* log;
        char tag;
    };
    FloatPluginParameter level("Level", nullptr, -30.0f, 30.0f, 0.0f);
    level.textFormat().setValueMap([](float db) { return std::pow(10.0f, db / 20.0f); },
                                   [](float g) { return 20.0f * std::log10(g); });
    std::string log;
    Tagged first(&log, 'a'), second(&log, 'b');
    level.addValueListener(&first);
    level.addValueListener(&second);
    level.notifyValueListeners(20.0f);
    level.removeValueListener(&first);
    level.notifyValueListeners(0.0f);
    EXPECT_EQ(log, "a10b10b1");
}

TEST(ParameterModel, ConversionsStayInsideTheRangeAndScaledMovesFollowTheReference) {
    FloatPluginParameter p("P", nullptr, 2.0f, 6.0f, 3.0f);
    // clang-format off
    const std::pair<float, float> normalised[] = {{0.0f, 2.0f}, {0.25f, 3.0f}, {1.0f, 6.0f},
        {-1.0f, 2.0f}, {7.0f, 6.0f}, {kInf, 6.0f}, {kNaN, 2.0f}};  // normalised, value
    // clang-format on
    for (const auto& [n, value] : normalised)
        EXPECT_FLOAT_EQ(p.valueOfNormalised(n), value) << n;
    EXPECT_EQ((std::vector<float>{p.normalisedOfValue(5.0f), p.normalisedOfValue(kInf),
                                  p.normalisedOfValue(kNaN), p.valueFromDisplay(kNaN),
                                  p.valueFromLinear(-kInf)}),
              (std::vector<float>{0.75f, 1.0f, 0.0f, 2.0f, 2.0f}));
    EXPECT_EQ(p.textOfValue(kNaN), "2.000");
    p.setRange(10.0f, -10.0f);  // put in order
    p.setRange(kNaN, 1.0f);     // refused
    EXPECT_TRUE(p.minimum() == -10.0f && p.maximum() == 10.0f);

    // Frequencies move in proportion (1 -> 2 kHz takes 100 to 200 Hz), clamped to the range.
    FloatPluginParameter freq("Freq", nullptr, float(kOctave30Hz), float(kOctave30kHz));
    freq.textFormat().setUnit(&ExpFreqParameterUnit::instance());
    const auto oct = [](double hz) { return float(hzToOctave(hz)); };
    EXPECT_NEAR(freq.scaledMove(oct(100), oct(1000), oct(2000)), oct(200), 1e-5);
    EXPECT_FLOAT_EQ(freq.scaledMove(oct(20000), oct(1000), oct(2000)), float(kOctave30kHz));
    FloatPluginParameter range("Range", nullptr, -30.0f, 30.0f);
    EXPECT_FLOAT_EQ(range.scaledMove(-6.0f, 3.0f, 6.0f), -12.0f);
    EXPECT_FLOAT_EQ(range.scaledMove(-6.0f, 0.0f, 5.0f), -1.0f);  // reference at zero: add
    EXPECT_FLOAT_EQ(range.scaledMove(kNaN, 0.0f, 5.0f), 5.0f);    // NaN counts as current value
}

TEST(IndexedPluginParameter, ChoicesMapToTheNearestIndexAndListenersHearTheStoredValue) {
    IndexedPluginParameter<int> choices("Choices", nullptr, "Off,2x,4x", 0);
    EXPECT_TRUE(choices.discrete() && choices.hasChoiceNames() && !choices.acceptsTypedValue() &&
                choices.maximum() == 2.0f);
    EXPECT_EQ(choices.textOfValue(1.6f), "4x") << "the nearest index";

    struct Listener : IndexedPluginParameter<int>::Listener {
        std::vector<int> heard;
        void storedValueChanged(int v, IndexedPluginParameter<int>&) override {
            heard.push_back(v);
        }
    } listener;
    choices.addValueListener(&listener);
    choices.notifyValueListeners(1.0f);
    EXPECT_EQ(listener.heard, std::vector<int>{1}) << "listeners hear the stored value";
}

TEST(IndexedPluginParameter, NormalisedPositionsSnapToTheNearestIndex) {
    IndexedPluginParameter<int> p("P", nullptr, "a,b,c,d", 0);
    // clang-format off
    const std::pair<float, float> snapped[] = {{0.0f, 0}, {0.16f, 0}, {0.17f, 1}, {0.5f, 2},
        {1.0f, 3}, {-3.0f, 0}, {9.0f, 3}, {kNaN, 0}};  // normalised, index
    // clang-format on
    for (const auto& [n, index] : snapped)
        EXPECT_EQ(p.valueOfNormalised(n), index) << n;
    EXPECT_FLOAT_EQ(p.normalisedOfValue(2.0f), 2.0f / 3.0f);
    float value = 0.0f;
    EXPECT_TRUE(p.valueOfNormalisedInSection(0.5f, 42, value) && value == 2.0f);  // no sections
    EXPECT_EQ(p.sectionBoundary(42), -1);
}

// The product's parameter table.

TEST(TesselParameters, IdentifiersFollowRegistrationOrderAndNamesAreUnique) {
    const TesselParameters parameters;
    const auto& all = parameters.allParameters();
    const ParameterCollection& collection = *parameters.ownCollection();
    ASSERT_EQ(all.size(), 151u);
    std::set<std::string> notAutomatable;  // names are unique: each finds its own parameter
    for (std::size_t i = 0; i < all.size(); ++i) {
        const AbstractPluginParameter& p = *all[i];
        const int id = static_cast<int>(i);
        EXPECT_TRUE(p.identifier() == id && collection.parameter(id) == &p) << p.name();
        EXPECT_TRUE(collection.parameterNamed(p.name()) == &p && p.hostName() == p.name()) << id;
        EXPECT_TRUE(p.discrete() == p.hasChoiceNames() && p.currentValue() == p.defaultValue())
            << p.name();
        // Band b, field k is (b - 1) * 22 + k and is named after its band.
        const int band = i < 132 ? static_cast<int>(i) / 22 : -1;
        EXPECT_EQ(parameters.setIndexOfIdentifier(id), band);
        EXPECT_TRUE(band < 0 || p.name().starts_with("Band " + std::to_string(band + 1) + " "));
        if (!p.automatable()) notAutomatable.insert(p.name());
    }
    EXPECT_EQ(notAutomatable,
              (std::set<std::string>{"Processing Mode", "Oversampling", "Lookahead Enabled"}));
    EXPECT_TRUE(!collection.parameter(151) && !collection.parameter(-1) &&
                !parameters.containsIdentifier(132));
    EXPECT_EQ(collection.parameterNamed("band 3 threshold"), &parameters.band(2).threshold);
    EXPECT_EQ(collection.parameterNamed("Band 7 Threshold"), nullptr);
    // clang-format off
    const std::pair<int, const char*> spots[] = {
        {0, "Band 1 State"}, {8, "Band 1 Ratio"}, {131, "Band 6 Solo/Mute State"},
        {132, "Audition Side Chain"}, {139, "Processing Mode"}, {144, "Display Range"},
        {145, "Analyzer"}, {150, "Analyzer Side Chain"}};
    // clang-format on
    for (const auto& [id, name] : spots)
        EXPECT_EQ(all[static_cast<std::size_t>(id)]->name(), name);
}

TEST(TesselParameters, RegistersWithAnOutsideOwnerAfterItsOwnParameters) {
    ParameterCollection collection;
    FloatPluginParameter earlier("Earlier", &collection);
    const TesselParameters parameters(&collection);
    EXPECT_EQ(collection.size(), 152u);
    EXPECT_EQ((std::vector<int>{parameters.firstIdentifier(), parameters.band(0).state.identifier(),
                                parameters.analyzer.sideChain.identifier()}),
              (std::vector<int>{1, 1, 151}));
    EXPECT_TRUE(collection.parameter(151) == &parameters.analyzer.sideChain &&
                collection.parameter(0) == &earlier && !parameters.ownCollection() &&
                collection.parameter(133) == &parameters.auditionSideChain);
    EXPECT_EQ(parameters.setIndexOfIdentifier(1 + 5 * 22), 5);
}

TEST(TesselParameters, RatioScaledMoveKeepsBandsInProportion) {
    TesselParameters parameters;
    BandParameterSet& band = parameters.band(0);
    RatioParameter& ratio = band.ratio;
    const auto at = [&](float r) { return ratio.valueFromDisplay(r); };
    const auto shown = [&](float value) { return ratio.displayOfValue(value); };
    // Ratio 3 after the reference moves 2 -> 4: 7 linear in (ratio - 1); in (1 - 1/ratio),
    // k = (1 - 1/4)/(1 - 1/2) = 1.5 and 1/(1 - 1.5 * (1 - 1/3)) is infinite: the range's top.
    constexpr auto kComp = DynamicsMode::kCompression, kExp = DynamicsMode::kExpansion;
    const std::tuple<DynamicsMode, float, float> cases[] = {
        {kComp, 0, 7}, {kComp, 10, 7}, {kExp, -10, 7}, {kComp, -10, 100}, {kExp, 0, 100}};
    for (const auto& [mode, rangeDb, expected] : cases) {
        band.dynamicsMode.setValue(static_cast<float>(mode), 0);
        band.range.setValue(rangeDb, 0);
        EXPECT_NEAR(shown(ratio.scaledMove(at(3.0f), at(2.0f), at(4.0f))), expected,
                    expected * 1e-3f)
            << static_cast<int>(mode) << " " << rangeDb;
    }
    // Down in the reciprocal form: k = (1 - 1/1.5)/(1 - 1/3) = 0.5, 1/(1 - 0.5 * 0.75) = 1.6.
    EXPECT_NEAR(shown(ratio.scaledMove(at(4.0f), at(3.0f), at(1.5f))), 1.6f, 2e-3f);
    EXPECT_NEAR(ratio.scaledMove(0.5f, 0.0f, 0.2f), 0.7f, 1e-6f);  // from 1:1: plain difference
    EXPECT_TRUE(std::isfinite(ratio.scaledMove(kNaN, kInf, -kInf)));
}

struct CountingOwner : PropertyOwner {
    int changes = 0;
    void propertyChanged(AbstractProperty*) override { ++changes; }
};

TEST(TesselParameters, BandStateDrivesInUsePropertiesAndResetRestoresDefaults) {
    TesselParameters parameters;
    BandStateParameter& state = parameters.band(2).state;
    CountingOwner owner;
    Property<bool> inUse(&owner, false);
    state.addInUseProperty(&inUse);
    int expectedChanges = 0;
    bool last = false;
    using enum BandState;
    for (BandState bandState : {kUnused, kEnabled, kDisabled, kUnused}) {
        state.setValue(static_cast<float>(bandState), 0);
        state.notifyValueListeners(state.currentValue());
        const bool expected = bandState != kUnused;
        EXPECT_EQ(inUse.get(), expected);
        expectedChanges += expected != last;
        last = expected;
        EXPECT_EQ(owner.changes, expectedChanges);  // told only of real changes
    }

    std::vector<std::string> visited;
    parameters.forEachParameter([&](AbstractPluginParameter& p) {
        visited.push_back(p.name());
        p.setValue(p.maximum(), 0);
    });
    ASSERT_EQ(visited.size(), 132u);
    EXPECT_TRUE(visited.front() == "Band 1 State" && visited.back() == "Band 6 Solo/Mute State");
    parameters.mix.setValue(0.0f, 0);
    parameters.resetAllToDefaults();
    for (int i = 0; i < 132; ++i) {
        const AbstractPluginParameter& p = *parameters.allParameters()[static_cast<std::size_t>(i)];
        EXPECT_EQ(p.currentValue(), p.defaultValue()) << p.name();
    }
    EXPECT_EQ(parameters.mix.currentValue(), 0.0f);  // globals belong to the plug-in model
}

TEST(TesselParameters, HelpTextsNameTheirBandAndLeaveOnlyTheDocumentedGaps) {
    const TesselParameters parameters;
    int withoutHelp = 0;  // the twelve crossovers, Midi State, Audition Side Chain, the analyzers
    for (const AbstractPluginParameter* p : parameters.allParameters()) {
        const std::string& text = p->helpText();
        const std::string band = "band " + std::to_string(p->identifier() / 22 + 1);
        withoutHelp += text.empty();
        EXPECT_TRUE(text.empty() || p->identifier() >= 132 || text.find(band) != std::string::npos)
            << p->name();
    }
    EXPECT_EQ(withoutHelp, 16);
}

}  // namespace
}  // namespace tessel
