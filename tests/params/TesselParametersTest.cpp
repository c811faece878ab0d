#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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

AbstractPluginParameter& byName(const TesselParameters& parameters, std::string_view name) {
    AbstractPluginParameter* parameter = parameters.findByName(name);
    if (parameter == nullptr) throw std::runtime_error("no parameter " + std::string(name));
    return *parameter;
}

std::string textOf(const TesselParameters& parameters, std::string_view name, float value) {
    return byName(parameters, name).textOfValue(value);
}

// Parses text into the parameter, sets it and returns the resulting text.
std::string typeInto(AbstractPluginParameter& parameter, std::string_view text) {
    float value = 0.0f;
    std::string reason;
    EXPECT_TRUE(parameter.valueFromText(text, value, reason)) << parameter.name() << ": " << text;
    parameter.setValue(value, 0);
    return parameter.textOfValue(parameter.currentValue());
}

TEST(TesselParameters, IdentifiersFollowRegistrationOrderAndNamesAreUnique) {
    const TesselParameters parameters;
    const auto& all = parameters.allParameters();
    ASSERT_EQ(all.size(), 151u);
    std::set<std::string> names;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i]->identifier(), static_cast<int>(i));
        EXPECT_EQ(parameters.findByIdentifier(static_cast<int>(i)), all[i]);
        EXPECT_EQ(parameters.findByName(all[i]->name()), all[i]);
        EXPECT_EQ(all[i]->hostName(), all[i]->name());
        EXPECT_TRUE(all[i]->alternativeNames().empty());
        EXPECT_EQ(all[i]->discrete(), all[i]->hasChoiceNames()) << all[i]->name();
        names.insert(all[i]->name());
    }
    EXPECT_EQ(names.size(), all.size());
    EXPECT_EQ(parameters.findByIdentifier(151), nullptr);
    EXPECT_EQ(parameters.findByIdentifier(-1), nullptr);
    EXPECT_EQ(parameters.findByName("band 3 threshold"), &parameters.band(2).threshold);
    EXPECT_EQ(parameters.findByName("Band 7 Threshold"), nullptr);

    // Band b, field k is (b - 1) * 22 + k and is named after its band.
    for (int id = 0; id < 132; ++id) {
        const std::string prefix = "Band " + std::to_string(id / 22 + 1) + " ";
        EXPECT_EQ(all[static_cast<std::size_t>(id)]->name().rfind(prefix, 0), 0u) << id;
        EXPECT_EQ(parameters.setIndexOfIdentifier(id), id / 22);
    }
    EXPECT_EQ(parameters.setIndexOfIdentifier(132), -1);
    EXPECT_FALSE(parameters.containsIdentifier(132));

    const std::pair<int, const char*> spots[] = {{0, "Band 1 State"},
                                                 {8, "Band 1 Ratio"},
                                                 {131, "Band 6 Solo/Mute State"},
                                                 {132, "Audition Side Chain"},
                                                 {139, "Processing Mode"},
                                                 {144, "Display Range"},
                                                 {145, "Analyzer"},
                                                 {150, "Analyzer Side Chain"}};
    for (const auto& [id, name] : spots)
        EXPECT_EQ(all[static_cast<std::size_t>(id)]->name(), name);

    std::set<std::string> notAutomatable;
    for (const AbstractPluginParameter* parameter : all) {
        if (!parameter->automatable()) notAutomatable.insert(parameter->name());
    }
    EXPECT_EQ(notAutomatable,
              (std::set<std::string>{"Processing Mode", "Oversampling", "Lookahead Enabled"}));
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

TEST(TesselParameters, DefaultsShowTheirDocumentedTexts) {
    const TesselParameters parameters;
    for (const AbstractPluginParameter* parameter : parameters.allParameters())
        EXPECT_EQ(parameter->currentValue(), parameter->defaultValue()) << parameter->name();
    const std::pair<const char*, const char*> cases[] = {
        {"Band 1 State", "Unused"},
        {"Band 2 Low Crossover", "30.000 Hz"},
        {"Band 2 High Crossover", "30000 Hz"},
        {"Band 3 Low Slope", "24.0 dB/oct"},
        {"Band 3 Dynamics Mode", "Compression"},
        {"Band 4 Threshold", "-18.00 dB"},
        {"Band 4 Range", "0.00 dB"},
        {"Band 5 Ratio", "4.00:1"},
        {"Band 5 Attack", "20.0%"},
        {"Band 5 Release", "20.0%"},
        {"Band 6 Knee", "24.00 dB"},
        {"Band 6 Lookahead", "1.000 ms"},
        {"Band 6 Level", "0.00 dB"},
        {"Band 6 Pan", "Left: 0 dB / Right: 0 dB"},
        {"Band 1 Side Chain Filtering", "Band"},
        {"Band 1 Side Chain Low Frequency", "30.000 Hz"},
        {"Band 1 Side Chain Input", "Plug-in Input"},
        {"Band 1 Stereo Link", "100%"},
        {"Band 1 Stereo Link Mode", "Mid"},
        {"Band 1 Solo/Mute State", "Normal"},
        {"Audition Side Chain", "Off"},
        {"Mix", "100.0%"},
        {"Input Level", "0.00 dB"},
        {"Output Pan", "Left: 0 dB / Right: 0 dB"},
        {"Bypass", "Not Bypassed"},
        {"Processing Mode", "Dynamic Phase"},
        {"Oversampling", "Off"},
        {"Lookahead Enabled", "On"},
        {"Expert Mode", "Disabled"},
        {"Midi State", "Enabled"},
        {"Display Range", "12 dB"},
        {"Analyzer", "Pre+Post"},
        {"Analyzer Resolution", "Medium"},
        {"Analyzer Speed", "Medium"},
        {"Analyzer Tilt", "4.5 dB/octave"},
        {"Analyzer Freeze", "Off"},
        {"Analyzer Side Chain", "Disabled"},
    };
    for (const auto& [name, text] : cases) {
        const AbstractPluginParameter& parameter = byName(parameters, name);
        EXPECT_EQ(parameter.textOfValue(parameter.currentValue()), text) << name;
    }
    EXPECT_EQ(parameters.band(0).state.storedValue(), BandState::kUnused);
}

TEST(TesselParameters, TapersAndUnitsFormatTheDocumentedValues) {
    const TesselParameters parameters;
    struct Case {
        const char* name;
        float value;
        const char* text;
    };
    const Case cases[] = {
        {"Band 1 Threshold", 0.1f, "-72.00 dB"},
        {"Band 1 Threshold", 1.0f, "0.00 dB"},
        {"Band 1 Threshold", 0.0f, "-90.00 dB"},
        {"Band 1 Ratio", 0.0f, "1.00:1"},
        {"Band 1 Ratio", 0.9f, "10.00:1"},
        {"Band 1 Ratio", 0.95f, "24.40:1"},
        {"Band 1 Ratio", 1.0f, "100.00:1"},
        {"Band 1 Ratio", 0.3f, "1.50:1"},
        {"Band 1 Low Slope", 0.0f, "6.0 dB/oct"},
        {"Band 1 Low Slope", 0.25f, "12.0 dB/oct"},
        {"Band 1 Low Slope", 1.0f, "48.0 dB/oct"},
        {"Band 1 Lookahead", 20.0f, "20.00 ms"},
        {"Band 1 Low Crossover", 9.965784f, "1000.0 Hz"},
        {"Band 1 Range", -12.5f, "-12.50 dB"},
        {"Band 1 Level", 30.0f, "+30.00 dB"},
        {"Input Level", -1.0f, "-INF dB"},
        {"Input Level", 1.0f, "+36.00 dB"},
        {"Input Level", -0.6f, "-21.60 dB"},
        {"Output Level", 0.5f, "+18.00 dB"},
        {"Mix", 2.0f, "200.0%"},
        {"Mix", 0.0f, "0.000%"},
        {"Mix", 0.05f, "5.000%"},
        {"Band 2 Pan", -0.5f, "Left: 0 dB / Right: -6.02 dB"},
        {"Input Pan", 0.75f, "Left: -12.04 dB / Right: 0 dB"},
        {"Audition Side Chain", 6.0f, "Band 6"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(textOf(parameters, c.name, c.value), c.text) << c.name << " " << c.value;

    // The engine receives the threshold in dB and levels as gains.
    EXPECT_NEAR(parameters.band(0).threshold.linearOfValue(0.7f), -18.0f, 1e-4f);
    EXPECT_NEAR(parameters.band(0).level.linearOfValue(6.0f), 1.99526f, 1e-4f);
    EXPECT_NEAR(parameters.inputLevel.linearOfValue(1.0f), 63.0957f, 1e-3f);
    EXPECT_EQ(parameters.inputLevel.linearOfValue(-1.0f), 0.0f);
    EXPECT_NEAR(parameters.outputLevel.linearOfValue(0.0f), 1.0f, 1e-6f);

    TesselParameters panned;
    panned.band(0).pan.setStereoChannels(false);
    EXPECT_EQ(panned.band(0).pan.textOfValue(1.0f), "Mid: -INF dB / Side: 0 dB");
}

TEST(TesselParameters, TypedTextFollowsEachParametersUnits) {
    TesselParameters parameters;
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"Band 1 Threshold", "12", "-12.00 dB"},
        {"Band 1 Threshold", "-42 dB", "-42.00 dB"},
        {"Band 1 Range", "5", "+5.00 dB"},
        {"Band 1 Range", "2x", "+6.02 dB"},
        {"Band 1 Low Crossover", "1k", "1000.0 Hz"},
        {"Band 1 High Crossover", "A4", "440.00 Hz"},
        {"Band 1 Side Chain High Frequency", "50 %", "948.68 Hz"},
        {"Band 1 Ratio", "8", "8.00:1"},
        {"Band 1 Ratio", "250", "100.00:1"},
        {"Band 1 Low Slope", "12 dB/oct", "12.0 dB/oct"},
        {"Band 1 Attack", "35", "35.0%"},
        {"Band 1 Lookahead", "0.005 s", "5.000 ms"},
        {"Band 1 Knee", "6", "6.00 dB"},
        {"Band 1 Level", "-3", "-3.00 dB"},
        {"Band 1 Dynamics Mode", "expansion", "Expansion"},
        {"Band 1 Solo/Mute State", "Solo (Mute)", "Solo (Mute)"},
        {"Mix", "50", "50.00%"},
        {"Input Level", "-INF", "-INF dB"},
        {"Input Level", "+6", "+6.00 dB"},
        {"Input Pan", "-1", "Left: 0 dB / Right: -INF dB"},
        {"Processing Mode", "minimum phase", "Minimum Phase"},
        {"Oversampling", "4x", "4x"},
        {"Analyzer Tilt", "1", "1.5 dB/octave"},
    };
    for (const auto& [name, typed, shown] : cases)
        EXPECT_EQ(typeInto(byName(parameters, name), typed), shown) << name << " <- " << typed;
}

// Digits after the decimal point of the first number in a text, or -1 without a number.
int decimalsOf(const std::string& text) {
    const std::size_t start = text.find_first_of("0123456789");
    if (start == std::string::npos) return -1;
    std::size_t i = start;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i;
    if (i >= text.size() || text[i] != '.') return 0;
    std::size_t end = i + 1;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    return static_cast<int>(end - i - 1);
}

TEST(TesselParameters, EveryTypedTextRoundTripsWithinOneDisplayStep) {
    TesselParameters parameters;
    for (AbstractPluginParameter* parameter : parameters.allParameters()) {
        if (dynamic_cast<StereoPanParameter*>(parameter) != nullptr) continue;  // not typed
        const bool scaledText = dynamic_cast<StereoLinkParameter*>(parameter) != nullptr;
        const int steps = parameter->discrete() ? static_cast<int>(parameter->maximum()) : 400;
        for (int i = 0; i <= steps; ++i) {
            const float value =
                parameter->minimum() + (parameter->maximum() - parameter->minimum()) *
                                           static_cast<float>(i) / static_cast<float>(steps);
            const std::string text = parameter->textOfValue(value);
            float parsed = 0.0f;
            std::string reason;
            ASSERT_TRUE(parameter->valueFromText(text, parsed, reason))
                << parameter->name() << ": " << text << " (" << reason << ")";
            if (scaledText) {
                // Whole percent of 200 * value: a step is 0.005. Just above 0.5 the second half
                // prints as "0%" and reads back as the full link itself, within that step.
                EXPECT_NEAR(parsed, value, 0.005f) << parameter->name() << ": " << text;
                continue;
            }
            EXPECT_EQ(parameter->textOfValue(parsed), text) << parameter->name();
            if (parameter->discrete()) {
                EXPECT_EQ(parsed, value) << parameter->name();
                continue;
            }
            if (text.find("INF") != std::string::npos) continue;
            // The display number printed with d decimals is within half a step of the truth,
            // and so is the parsed one (seconds are printed for 1000 ms and more).
            const double unit = text.find(" sec") != std::string::npos ? 1000.0 : 1.0;
            const double step = std::pow(10.0, -decimalsOf(text)) * unit;
            const double shown = parameter->displayOfValue(value);
            EXPECT_NEAR(parameter->displayOfValue(parsed), shown,
                        step * (1.0 + 1e-3) + 1e-6 * std::fabs(shown))
                << parameter->name() << ": " << text;
        }
    }
}

TEST(TesselParameters, SlopesSnapToMinimumPhaseSlopesOnlyInMinimumPhaseMode) {
    TesselParameters parameters;
    SlopeParameter& slope = parameters.band(3).highSlope;
    const float at20 = slope.valueFromDisplay(20.0f);
    const float at40 = slope.valueFromDisplay(40.0f);
    EXPECT_EQ(slope.textOfValue(at20), "20.0 dB/oct");
    slope.setValue(at40, 0);
    EXPECT_EQ(slope.textOfValue(slope.currentValue()), "40.0 dB/oct");

    parameters.processingMode.setValue(static_cast<float>(ProcessingMode::kMinimumPhase), 0);
    EXPECT_EQ(slope.textOfValue(slope.currentValue()), "36.0 dB/oct");  // shown snapped
    const std::pair<float, const char*> cases[] = {{6.0f, "6.0 dB/oct"},   {8.9f, "6.0 dB/oct"},
                                                   {9.0f, "12.0 dB/oct"},  {17.9f, "12.0 dB/oct"},
                                                   {20.0f, "24.0 dB/oct"}, {29.9f, "24.0 dB/oct"},
                                                   {30.0f, "36.0 dB/oct"}, {40.0f, "36.0 dB/oct"},
                                                   {42.0f, "48.0 dB/oct"}, {48.0f, "48.0 dB/oct"}};
    for (const auto& [dbPerOctave, text] : cases) {
        slope.setValue(slope.valueFromDisplay(dbPerOctave), 0);
        EXPECT_EQ(slope.textOfValue(slope.currentValue()), text) << dbPerOctave;
        EXPECT_NEAR(slope.displayOfValue(slope.currentValue()), std::atof(text), 1e-4);
    }
    // Every band's slopes follow the one global mode.
    EXPECT_EQ(parameters.band(5).lowSlope.textOfValue(at20), "24.0 dB/oct");

    parameters.processingMode.setValue(static_cast<float>(ProcessingMode::kLinearPhase), 0);
    slope.setValue(at20, 0);
    EXPECT_EQ(slope.textOfValue(slope.currentValue()), "20.0 dB/oct");
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

TEST(TesselParameters, StereoLinkTextsShowBothHalvesAndParseBack) {
    TesselParameters parameters;
    BandParameterSet& band = parameters.band(1);
    StereoLinkParameter& link = band.stereoLink;
    EXPECT_EQ(link.textOfValue(0.25f), "50%");
    EXPECT_EQ(link.textOfValue(0.0f), "0%");
    EXPECT_EQ(link.textOfValue(0.75f), "100%, 50% Mid-only");
    // The band keeps the displayed mode in step with its Stereo Link Mode parameter.
    band.stereoLinkMode.setValue(1.0f, 0);
    EXPECT_EQ(link.textOfValue(1.0f), "100%, 100% Side-only");
    EXPECT_EQ(link.shortTextOfValue(1.0f, 8), "100,100S");
    EXPECT_EQ(link.shortTextOfValue(0.75f, 40), "100%, 50% Side-only");
    EXPECT_EQ(link.shortTextOfValue(0.75f, 12), "100%, 50% S");
    EXPECT_EQ(link.shortTextOfValue(0.75f, 7), "100,50S");
    EXPECT_EQ(link.shortTextOfValue(0.75f, 5), "50S");
    EXPECT_EQ(link.shortTextOfValue(0.75f, 2), "50");
    link.setStereoLinkMode(StereoLinkMode::kMidDetectionSideProcessing);
    EXPECT_EQ(link.textOfValue(0.6f), "100%, 20% M>S");
    link.setStereoLinkMode(StereoLinkMode::kSideDetectionMidProcessing);
    EXPECT_EQ(link.textOfValue(0.6f), "100%, 20% S>M");

    const std::pair<const char*, float> accepted[] = {
        {"100, 50", 0.75f}, {"50 M", 0.75f}, {"50% side", 0.75f}, {"50", 0.25f},
        {" 50 % ", 0.25f},  {"250", 1.0f},   {"-20", 0.0f},       {"100%, 100% Side-only", 1.0f}};
    for (const auto& [text, expected] : accepted) {
        float value = -1.0f;
        std::string reason;
        EXPECT_TRUE(link.valueFromText(text, value, reason)) << text;
        EXPECT_NEAR(value, expected, 1e-6f) << text;
    }
    for (const char* text : {"abc", "50 x", "", ",", "50 %%", "1.2.3"}) {
        float value = -1.0f;
        std::string reason;
        EXPECT_FALSE(link.valueFromText(text, value, reason)) << text;
        EXPECT_EQ(value, link.currentValue());
        EXPECT_FALSE(reason.empty());
    }
    EXPECT_EQ(link.stereoLinkMode(), StereoLinkMode::kSideDetectionMidProcessing);  // untouched
}

TEST(TesselParameters, BadInputLeavesEveryParameterValidAndFinite) {
    TesselParameters parameters;
    const float values[] = {kNaN, kInf, -kInf, 1e30f, -1e30f, 0.5f};
    const char* texts[] = {"",      "   ",
                           "abc",   "12 parsecs",
                           "nan",   "1e999999",
                           "--5",   "%",
                           "#",     "99999999999999999999999999999999999999999999999999 dB",
                           "-INF x"};
    for (AbstractPluginParameter* parameter : parameters.allParameters()) {
        const float low = parameter->minimum();
        const float high = parameter->maximum();
        const auto valid = [&](float v) { return std::isfinite(v) && v >= low && v <= high; };
        for (const float v : values) {
            parameter->setValue(v, 0);
            EXPECT_TRUE(valid(parameter->currentValue())) << parameter->name() << " " << v;
            EXPECT_FALSE(parameter->textOfValue(v).empty()) << parameter->name();
            EXPECT_TRUE(valid(parameter->valueOfNormalised(v))) << parameter->name();
            const float normalised = parameter->normalisedOfValue(v);
            EXPECT_TRUE(normalised >= 0.0f && normalised <= 1.0f) << parameter->name();
            EXPECT_TRUE(valid(parameter->valueFromDisplay(v))) << parameter->name() << " " << v;
            EXPECT_TRUE(valid(parameter->scaledMove(v, v, 0.5f))) << parameter->name();
        }
        for (const char* text : texts) {
            float parsed = kNaN;
            std::string reason;
            const bool ok = parameter->valueFromText(text, parsed, reason);
            EXPECT_TRUE(valid(parsed)) << parameter->name() << " <- " << text;
            if (!ok) {
                EXPECT_EQ(parsed, parameter->currentValue());
            }
            parameter->setValue(parsed, 0);
            EXPECT_TRUE(valid(parameter->currentValue())) << parameter->name();
        }
    }
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
