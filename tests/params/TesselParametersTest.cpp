// The product's parameter table: identifiers, names and registration, the ratio's scaled move,
// band state and defaults, and help texts. Text in and out of its parameters is tried in
// ParameterTextTest.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "params/ParameterCollection.h"
#include "params/TesselParameters.h"

namespace tessel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(TesselParameters, IdentifiersFollowRegistrationOrderAndNamesAreUnique) {
    const TesselParameters parameters;
    const auto& all = parameters.allParameters();
    ASSERT_EQ(all.size(), 151u);
    std::set<std::string> names, notAutomatable;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const AbstractPluginParameter& p = *all[i];
        EXPECT_EQ(p.identifier(), static_cast<int>(i));
        EXPECT_EQ(parameters.findByIdentifier(static_cast<int>(i)), &p);
        EXPECT_EQ(parameters.findByName(p.name()), &p);
        EXPECT_EQ(p.hostName(), p.name());
        EXPECT_TRUE(p.alternativeNames().empty());
        EXPECT_EQ(p.discrete(), p.hasChoiceNames()) << p.name();
        EXPECT_EQ(p.currentValue(), p.defaultValue()) << p.name();
        // Band b, field k is (b - 1) * 22 + k and is named after its band.
        const int band = i < 132 ? static_cast<int>(i) / 22 : -1;
        EXPECT_EQ(parameters.setIndexOfIdentifier(static_cast<int>(i)), band);
        if (band >= 0) {
            EXPECT_EQ(p.name().rfind("Band " + std::to_string(band + 1) + " ", 0), 0u) << i;
        }
        names.insert(p.name());
        if (!p.automatable()) notAutomatable.insert(p.name());
    }
    EXPECT_EQ(names.size(), all.size());
    EXPECT_EQ(notAutomatable,
              (std::set<std::string>{"Processing Mode", "Oversampling", "Lookahead Enabled"}));
    EXPECT_EQ(parameters.findByIdentifier(151), nullptr);
    EXPECT_EQ(parameters.findByIdentifier(-1), nullptr);
    EXPECT_FALSE(parameters.containsIdentifier(132));
    EXPECT_EQ(parameters.findByName("band 3 threshold"), &parameters.band(2).threshold);
    EXPECT_EQ(parameters.findByName("Band 7 Threshold"), nullptr);
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
    EXPECT_EQ(parameters.firstIdentifier(), 1);
    EXPECT_EQ(parameters.band(0).state.identifier(), 1);
    EXPECT_EQ(parameters.analyzer.sideChain.identifier(), 151);
    EXPECT_EQ(parameters.findByIdentifier(151), &parameters.analyzer.sideChain);
    EXPECT_EQ(parameters.findByIdentifier(0), nullptr);
    EXPECT_EQ(collection.parameter(133), &parameters.auditionSideChain);
    EXPECT_EQ(parameters.setIndexOfIdentifier(1 + 5 * 22), 5);
}

TEST(TesselParameters, RatioScaledMoveKeepsBandsInProportion) {
    TesselParameters parameters;
    BandParameterSet& band = parameters.band(0);
    RatioParameter& ratio = band.ratio;
    const auto at = [&](float r) { return ratio.valueFromDisplay(r); };
    const auto shown = [&](float value) { return ratio.displayOfValue(value); };

    struct Case {
        DynamicsMode mode;
        float rangeDb;
        float expected;  // the band's ratio 3 after the reference moved from 2 to 4
    };
    // Linear in (ratio - 1): 1 + (4 - 1)/(2 - 1) * (3 - 1) = 7. Otherwise in (1 - 1/ratio):
    // k = (1 - 1/4)/(1 - 1/2) = 1.5, 1/(1 - 1.5 * (1 - 1/3)) = infinite: the top of the range.
    const Case cases[] = {{DynamicsMode::kCompression, 0.0f, 7.0f},
                          {DynamicsMode::kCompression, 10.0f, 7.0f},
                          {DynamicsMode::kExpansion, -10.0f, 7.0f},
                          {DynamicsMode::kCompression, -10.0f, 100.0f},
                          {DynamicsMode::kExpansion, 0.0f, 100.0f}};
    for (const Case& c : cases) {
        band.dynamicsMode.setValue(static_cast<float>(c.mode), 0);
        band.range.setValue(c.rangeDb, 0);
        EXPECT_NEAR(shown(ratio.scaledMove(at(3.0f), at(2.0f), at(4.0f))), c.expected,
                    c.expected * 1e-3f)
            << static_cast<int>(c.mode) << " " << c.rangeDb;
    }
    // Moving down in the reciprocal form: k = (1 - 1/1.5)/(1 - 1/3) = 0.5, 1/(1 - 0.5 * 0.75)
    // = 1.6.
    EXPECT_NEAR(shown(ratio.scaledMove(at(4.0f), at(3.0f), at(1.5f))), 1.6f, 2e-3f);
    // A reference at 1:1 moves by plain value difference.
    EXPECT_NEAR(ratio.scaledMove(0.5f, 0.0f, 0.2f), 0.7f, 1e-6f);
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
    const std::pair<BandState, bool> steps[] = {{BandState::kUnused, false},
                                                {BandState::kEnabled, true},
                                                {BandState::kDisabled, true},
                                                {BandState::kUnused, false}};
    int expectedChanges = 0;
    bool last = false;
    for (const auto& [bandState, expected] : steps) {
        state.setValue(static_cast<float>(bandState), 0);
        state.notifyValueListeners(state.currentValue());
        EXPECT_EQ(inUse.get(), expected);
        if (expected != last) ++expectedChanges;
        last = expected;
        EXPECT_EQ(owner.changes, expectedChanges);  // told only of real changes
    }

    std::vector<std::string> visited;
    parameters.forEachParameter([&](AbstractPluginParameter& p) {
        visited.push_back(p.name());
        p.setValue(p.maximum(), 0);
    });
    ASSERT_EQ(visited.size(), 132u);
    EXPECT_EQ(visited.front(), "Band 1 State");
    EXPECT_EQ(visited.back(), "Band 6 Solo/Mute State");
    parameters.mix.setValue(0.0f, 0);
    parameters.resetAllToDefaults();
    for (int i = 0; i < 132; ++i) {
        const AbstractPluginParameter& p = *parameters.findByIdentifier(i);
        EXPECT_EQ(p.currentValue(), p.defaultValue()) << p.name();
    }
    EXPECT_EQ(parameters.mix.currentValue(), 0.0f);  // globals belong to the plug-in model
}

TEST(TesselParameters, HelpTextsNameTheirBandAndLeaveOnlyTheDocumentedGaps) {
    const TesselParameters parameters;
    std::set<std::string> withoutHelp;
    for (const AbstractPluginParameter* parameter : parameters.allParameters()) {
        const std::string& text = parameter->helpText();
        if (text.empty()) {
            withoutHelp.insert(parameter->name());
            continue;
        }
        EXPECT_EQ(text.find('#'), std::string::npos) << parameter->name();
        EXPECT_GT(text.size(), 80u) << parameter->name();
        if (parameter->identifier() < 132) {
            const std::string band = "band " + std::to_string(parameter->identifier() / 22 + 1);
            EXPECT_NE(text.find(band), std::string::npos) << parameter->name();
        }
    }
    std::set<std::string> expected = {"Audition Side Chain", "Midi State", "Analyzer",
                                      "Analyzer Side Chain"};
    for (int b = 1; b <= 6; ++b) {
        expected.insert("Band " + std::to_string(b) + " Low Crossover");
        expected.insert("Band " + std::to_string(b) + " High Crossover");
    }
    EXPECT_EQ(withoutHelp, expected);
    EXPECT_EQ(parameters.band(3).threshold.helpText().rfind(
                  "The Threshold knob sets the threshold level", 0),
              0u);
}

}  // namespace
}  // namespace tessel
