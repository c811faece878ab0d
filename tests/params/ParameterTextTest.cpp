// Text in and out of the product's parameters, and of loose ones for the units the table lacks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "params/FloatPluginParameter.h"
#include "params/ParameterUnits.h"
#include "params/TesselParameters.h"
#include "support/Octave.h"

namespace tessel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Parsed {
    bool ok;
    float value;
    std::string reason;
};

/// What `p` makes of typed text, without changing it.
Parsed parse(const AbstractPluginParameter& p, std::string_view text) {
    Parsed r{false, kNaN, {}};
    r.ok = p.valueFromText(text, r.value, r.reason);
    return r;
}

double hzOfMidiNote(double note) {
    return 440.0 * std::exp2((note - 69.0) / 12.0);
}

// The product's table, and a loose parameter per unit it lacks for the round trip and hostile
// input.
struct ParameterText : ::testing::Test {
    ParameterText() {
        struct Loose {
            const char* name;
            const FloatPluginParameterUnit* unit;
            float minimum, maximum, value;
        };
        // clang-format off
        const Loose loose[] = {
            {"Frequency", &FreqParameterUnit::instance(), 20, 20000, 1000},
            {"Rate", &HzParameterUnit::instance(), 0, 100, 1},
            {"Cutoff", &ExpFreqWithZeroParameterUnit::instance(), -5.643856f, float(kOctave30kHz),
             0},
            {"Release Time", &MsParameterUnit::instance(), 0, 5000, 2000},
            {"Seconds", &SecParameterUnit::instance(), 0.001f, 10, 0.5f},
            {"Gain", &DBParameterUnitBase::instance(), -48, 48, 0},
            {"Ceiling", &DBParameterUnit::truePeakInstance(), -20, 0, -1},
            {"Amount", &PercentParameterUnit::instance(), 0, 100, 50},
            {"Semitones", &OctavesParameterUnit::instance(), -2, 2, 0},
            {"Plain", nullptr, 0, 10, 1}};
        // clang-format on
        for (const Loose& l : loose) {
            auto& p = extra.emplace_back(std::make_unique<FloatPluginParameter>(
                l.name, nullptr, l.minimum, l.maximum, l.value));
            if (l.unit != nullptr) p->textFormat().setUnit(l.unit);
            all.push_back(p.get());
        }
        all.insert(all.end(), table.allParameters().begin(), table.allParameters().end());
    }
    AbstractPluginParameter& operator[](std::string_view name) {
        for (AbstractPluginParameter* p : all)
            if (p->name() == name) return *p;
        throw std::runtime_error("no parameter " + std::string(name));
    }

    TesselParameters table;
    std::vector<std::unique_ptr<FloatPluginParameter>> extra;
    std::vector<AbstractPluginParameter*> all;  // the loose ones first
};

TEST_F(ParameterText, NumberFormatsAdaptDecimalsNeverPrintSignedZeroAndRefuseUnsafeFormats) {
    const struct {
        const char* format;
        float value;
        const char* text;
    } cases[] = {
        {"*2f", 9.99f, "9.99"},    {"*2f", 9.999f, "10.0"},    {"*2f", 150.0f, "150"},
        {"*2f", -0.001f, "0.00"},  {"*2f", -12.345f, "-12.3"}, {"*+2f", 3.5f, "+3.50"},
        {"*+2f", -3.5f, "-3.50"},  {"*+2f", 0.0f, "0.00"},     {"*+2f", -0.0f, "0.00"},
        {"*3f", 99.99f, "99.99"},  {"*3f", 99.9996f, "100.0"}, {"*3f", 1234.6f, "1235"},
        {"*0f", 0.4f, "0"},        {"%.1f", -0.04f, "0.0"},    {"%.2f", 4.0f, "4.00"},
        {"%+.2f", 0.001f, "0.00"}, {"%+.2f", 6.02f, "+6.02"},  {"%.1f", kInf, "INF"},
        {"*3f", -kInf, "-INF"},    {"%+.2f", -kInf, "-INF"},   {"%s", 1.5f, "1.500"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParameterTextFormat::formatNumber(c.format, c.value), c.text)
            << c.format << " of " << c.value;
    }
    EXPECT_EQ(formatLevelDb(-179.89f), "-179.89");
    FloatPluginParameter p("P");
    for (const char* bad : {"%s", "%d", "%.2f %.2f", "%500f", "%.123f", "plain", "*f", "*12f", "%"})
        EXPECT_FALSE(p.textFormat().setNumberFormat(bad)) << bad;
    EXPECT_EQ(p.textFormat().numberFormat(), "%.3f");
    for (const char* good : {"%.0f%%", "*+2f", "%8.3e", "about %g"})
        EXPECT_TRUE(p.textFormat().setNumberFormat(good)) << good;
}

using Printed = std::vector<std::pair<float, const char*>>;  // value, text
using Typed = std::vector<std::pair<const char*, double>>;   // text, display value

TEST_F(ParameterText, ParametersStartAtTheirDocumentedDefaults) {
    // clang-format off
    const std::pair<const char*, const char*> defaults[] = {
        {"Band 1 State", "Unused"}, {"Band 1 Low Crossover", "30.000 Hz"},
        {"Band 1 High Crossover", "30000 Hz"}, {"Band 1 Low Slope", "24.0 dB/oct"},
        {"Band 1 Dynamics Mode", "Compression"}, {"Band 1 Threshold", "-18.00 dB"},
        {"Band 1 Range", "0.00 dB"}, {"Band 1 Ratio", "4.00:1"}, {"Band 1 Attack", "20.0%"},
        {"Band 1 Release", "20.0%"}, {"Band 1 Knee", "24.00 dB"}, {"Band 1 Lookahead", "1.000 ms"},
        {"Band 1 Level", "0.00 dB"}, {"Band 1 Pan", "Left: 0 dB / Right: 0 dB"},
        {"Band 1 Side Chain Low Frequency", "30.000 Hz"}, {"Band 1 Stereo Link", "100%"},
        {"Mix", "100.0%"}, {"Input Level", "0.00 dB"}, {"Output Pan", "Left: 0 dB / Right: 0 dB"},
        {"Bypass", "Not Bypassed"}, {"Processing Mode", "Dynamic Phase"}, {"Oversampling", "Off"},
        {"Lookahead Enabled", "On"}, {"Display Range", "12 dB"}, {"Analyzer", "Pre+Post"},
        {"Analyzer Tilt", "4.5 dB/octave"},
    };
    // clang-format on
    for (const auto& [name, text] : defaults) {
        const AbstractPluginParameter& p = (*this)[name];
        EXPECT_EQ(p.textOfValue(p.currentValue()), text) << name;
    }
}

TEST_F(ParameterText, ValuesPrintInTheirUnitsThroughTheirTapers) {
    const float a440 = float(hzToOctave(440.0)), k30Hz = float(kOctave30Hz),
                k30kHz = float(kOctave30kHz);
    // clang-format off
    const std::pair<const char*, Printed> cases[] = {
        {"Band 1 Low Crossover", {{a440, "440.00 Hz"}, {10.0f, "1024.0 Hz"}, {k30Hz, "30.000 Hz"},
                                 {9.965784f, "1000.0 Hz"}, {k30kHz, "30000 Hz"}}},
        {"Band 1 Low Slope", {{0.0f, "6.0 dB/oct"}, {0.25f, "12.0 dB/oct"}, {1.0f, "48.0 dB/oct"}}},
        {"Band 1 Threshold", {{0.1f, "-72.00 dB"}, {1.0f, "0.00 dB"}, {0.0f, "-90.00 dB"}}},
        {"Band 1 Range", {{6.0f, "+6.00 dB"}, {-12.5f, "-12.50 dB"}}},
        {"Band 1 Ratio", {{0.0f, "1.00:1"}, {0.3f, "1.50:1"}, {0.9f, "10.00:1"}, {0.95f, "24.40:1"},
                         {1.0f, "100.00:1"}}},
        {"Band 1 Lookahead", {{20.0f, "20.00 ms"}}}, {"Band 1 Level", {{30.0f, "+30.00 dB"}}},
        {"Band 2 Pan", {{-0.5f, "Left: 0 dB / Right: -6.02 dB"}}},
        {"Mix", {{2.0f, "200.0%"}, {0.0f, "0.000%"}, {0.05f, "5.000%"}}},
        {"Input Level", {{-1.0f, "-INF dB"}, {1.0f, "+36.00 dB"}, {-0.6f, "-21.60 dB"}}},
        {"Output Level", {{0.5f, "+18.00 dB"}}}, {"Audition Side Chain", {{6.0f, "Band 6"}}},
        {"Input Pan", {{0.75f, "Left: -12.04 dB / Right: 0 dB"}}},
        // Units of the table beyond its parameters' ranges.
        {"Release Time", {{1500.0f, "1.500 sec"}}},
        {"Amount", {{20.0f, "20.0%"}, {5.5f, "5.50%"}, {100.0f, "100%"}}}};
    // clang-format on
    for (const auto& [name, printed] : cases) {
        for (const auto& [value, text] : printed)
            EXPECT_EQ((*this)[name].textOfValue(value), text) << name << " " << value;
    }
    EXPECT_EQ(table.mix.shortTextOfValue(1.0f, 3), "100");
    table.band(0).pan.setStereoChannels(false);
    EXPECT_EQ(table.band(0).pan.textOfValue(1.0f), "Mid: -INF dB / Side: 0 dB");
    // The engine receives the threshold in dB and levels as gains.
    EXPECT_NEAR(table.band(0).threshold.linearOfValue(0.7f), -18.0f, 1e-4f);
    EXPECT_NEAR(table.band(0).level.linearOfValue(6.0f), 1.99526f, 1e-4f);
    EXPECT_NEAR(table.inputLevel.linearOfValue(1.0f), 63.0957f, 1e-3f);
    EXPECT_EQ(table.inputLevel.linearOfValue(-1.0f), 0.0f);
    EXPECT_NEAR(table.outputLevel.linearOfValue(0.0f), 1.0f, 1e-6f);
}

TEST_F(ParameterText, TypedTextLandsOnTheExpectedValue) {
    // clang-format off
    const std::pair<const char*, Typed> cases[] = {
        // Frequencies: plain numbers, typed units, notes, percent of the stored range, clamping.
        {"Band 1 Low Crossover",
         {{"1k", 1000.0}, {"1 kHz", 1000.0}, {"  440 hz", 440.0}, {"A4", 440.0}, {"a4", 440.0},
          {"D#3 50", hzOfMidiNote(51.5)}, {"Bb2", hzOfMidiNote(46)}, {"EB3", hzOfMidiNote(51)},
          {"C", hzOfMidiNote(60)}, {"C-1", 30.0}, {"G9 -20", hzOfMidiNote(127 - 0.2)}, {"10", 30.0},
          {"100 kHz", 30000.0}, {"50%", std::exp2((kOctave30Hz + kOctave30kHz) / 2)}}},
        {"Band 1 Side Chain High Frequency", {{"50 %", std::sqrt(30.0 * 30000.0)}}},
        // Levels: the sign rule for all-negative ranges, gain factors, clamping.
        {"Band 1 Threshold", {{"12", -12.0}, {"-12", -12.0}, {"12 dB", -12.0}, {"-42 dB", -42.0},
                              {"100", -90.0}, {"0.5x", -6.0206}}},
        {"Band 1 Range", {{"5", 5.0}, {"-5", -5.0}, {"+3 db", 3.0}, {"2x", 6.0206}, {"2*", 6.0206},
                          {"0x", -30.0}, {"-2x", -30.0}, {"99", 30.0}}},
        {"Band 1 Level", {{"-3", -3.0}}}, {"Band 1 Knee", {{"6", 6.0}}},
        {"Input Level", {{"+6", 6.0}}},
        // Ratios, slopes and percentages in their own units.
        {"Band 1 Ratio", {{"8", 8.0}, {"250", 100.0}}}, {"Band 1 Low Slope", {{"12 dB/oct", 12.0}}},
        {"Band 1 Attack", {{"35", 35.0}}},
        {"Mix", {{"150%", 150.0}, {"150", 150.0}, {"250", 200.0}, {"50", 50.0}}},
        // Times: typed units and the seconds/milliseconds guess for bare numbers.
        {"Band 1 Lookahead",
         {{"5", 5.0}, {"5 ms", 5.0}, {"0.01 s", 10.0}, {"0.005 SEC", 5.0}, {"-3", 0.0}}},
        {"Release Time", {{"1.5", 1500.0}, {"800", 800.0}}},
        // Plain parameters take percent of the range.
        {"Plain", {{"50 %", 5.0}, {"7.25", 7.25}, {".5", 0.5},
                   {"123456789012345678901234567890123456789012345678901234567890", 10.0}}},
    };
    // clang-format on
    for (const auto& [name, typed] : cases) {
        const AbstractPluginParameter& p = (*this)[name];
        for (const auto& [text, display] : typed) {
            const Parsed r = parse(p, text);
            ASSERT_TRUE(r.ok) << name << " \"" << text << "\": " << r.reason;
            EXPECT_NEAR(p.displayOfValue(r.value), display,
                        1e-4 * std::max(1.0, std::fabs(display)))
                << name << " \"" << text << "\"";
        }
    }
    // Choices take their names in any case, or their index; some texts only show.
    // clang-format off
    const std::tuple<const char*, const char*, const char*> shown[] = {
        {"Band 1 Dynamics Mode", "expansion", "Expansion"}, {"Input Level", "-INF", "-INF dB"},
        {"Processing Mode", "minimum phase", "Minimum Phase"}, {"Oversampling", "off", "Off"},
        {"Band 1 Solo/Mute State", "Solo (Mute)", "Solo (Mute)"},
        {"Analyzer Tilt", "1", "1.5 dB/octave"},
        {"Oversampling", "4x", "4x"}, {"Oversampling", " 4X ", "4x"}, {"Oversampling", "1", "2x"},
        {"Oversampling", "+2", "4x"}, {"Input Pan", "-1", "Left: 0 dB / Right: -INF dB"}};
    // clang-format on
    for (const auto& [name, typed, text] : shown) {
        AbstractPluginParameter& p = (*this)[name];
        const Parsed r = parse(p, typed);
        ASSERT_TRUE(r.ok) << name << " \"" << typed << "\": " << r.reason;
        p.setValue(r.value, 0);
        EXPECT_EQ(p.textOfValue(p.currentValue()), text) << name << " \"" << typed << "\"";
    }
}

TEST_F(ParameterText, RefusesGarbageWithAReasonAndKeepsTheCurrentValue) {
    // Per parameter: refused texts and a part of the reason given.
    // clang-format off
    const std::pair<const char*, std::vector<std::pair<const char*, const char*>>> cases[] = {
        {"Band 1 Low Crossover",
         {{"", "Not a number"}, {"H4", "Not a number"}, {"abc", "Not a number"},
          {"A4x", "Not a number"}, {"C123", "Not a number"}, {"nan", "Not a number"},
          {"inf", "Not a number"}, {"-", "Not a number"}, {"1 megahertz", "Unknown unit"},
          {"1k extra", "Unexpected text"}}},
        {"Band 1 Lookahead", {{"1 min", "Unknown unit"}}},
        {"Band 1 Range", {{"2 x x", "Unexpected text"}}},
        {"Plain", {{"1e3", "Unknown unit"}, {"5 foo", "Unknown unit"}, {"A4", "Not a number"}}},
        {"Oversampling", {{"3", ""}, {"-1", ""}, {"1.5", ""}, {"", ""}, {"8x", ""}}},
        {"Band 2 Stereo Link",
         {{"abc", ""}, {"50 x", ""}, {"", ""}, {",", ""}, {"50 %%", ""}, {"1.2.3", ""}}},
    };
    // clang-format on
    for (const auto& [name, refused] : cases) {
        const AbstractPluginParameter& p = (*this)[name];
        for (const auto& [text, reason] : refused) {
            const Parsed r = parse(p, text);
            EXPECT_TRUE(!r.ok && r.value == p.currentValue()) << name << " \"" << text << "\"";
            EXPECT_NE(r.reason.find(reason), std::string::npos) << text << ": " << r.reason;
        }
    }
    // An exact match wins over one that ignores case.
    IndexedPluginParameter<int> cased("Cased", nullptr, "a,A", 0);
    EXPECT_EQ(parse(cased, "A").value, 1.0f);
}

// Digits after the decimal point of the first number in a text.
int decimalsOf(const std::string& text) {
    const std::size_t digits = text.find_first_of("0123456789");
    const std::size_t point = text.find_first_not_of("0123456789", digits);
    if (digits == std::string::npos || point == std::string::npos || text[point] != '.') return 0;
    const std::size_t end = std::min(text.find_first_not_of("0123456789", point + 1), text.size());
    return static_cast<int>(end - point - 1);
}

// Value -> text -> value over every parameter's range prints the same text, within half a step
// of the shown resolution (choices: exactly), and every unit is tried.
TEST_F(ParameterText, EveryTypedTextRoundTripsWithinHalfADisplayStep) {
    std::set<const FloatPluginParameterUnit*> units;
    for (AbstractPluginParameter* parameter : all) {
        if (dynamic_cast<StereoPanParameter*>(parameter) != nullptr) continue;  // not typed
        const auto* f = dynamic_cast<FloatPluginParameter*>(parameter);
        const FloatPluginParameterUnit* unit = f != nullptr ? f->textFormat().unit() : nullptr;
        units.insert(unit);
        const bool scaledText = dynamic_cast<StereoLinkParameter*>(parameter) != nullptr;
        const int steps = parameter->discrete() ? static_cast<int>(parameter->maximum()) : 400;
        for (int i = 0; i <= steps; ++i) {
            const float value =
                parameter->minimum() +
                (parameter->maximum() - parameter->minimum()) * float(i) / float(steps);
            const std::string text = parameter->textOfValue(value);
            SCOPED_TRACE(parameter->name() + ": " + text);
            const Parsed r = parse(*parameter, text);
            ASSERT_TRUE(r.ok) << r.reason;
            if (scaledText) {  // whole percent of 200 * value: a step is 0.005
                EXPECT_NEAR(r.value, value, 0.005f);
                continue;
            }
            EXPECT_EQ(parameter->textOfValue(r.value), text);
            if (parameter->discrete()) {
                EXPECT_EQ(r.value, value);
                continue;
            }
            if (text.find("INF") != std::string::npos) continue;
            // Milliseconds print as seconds from 1000 ms up, seconds as milliseconds below 1 s.
            double step = std::pow(10.0, -decimalsOf(text));
            if (unit == &MsParameterUnit::instance() && text.ends_with(" sec")) step *= 1000.0;
            if (unit == &SecParameterUnit::instance() && text.ends_with(" ms")) step *= 0.001;
            const double shown = parameter->displayOfValue(value);
            EXPECT_LE(std::fabs(parameter->displayOfValue(r.value) - shown),
                      step * 0.5 + 1e-4 * std::fabs(shown));
        }
    }
    for (const FloatPluginParameterUnit* unit : allParameterUnits())
        EXPECT_TRUE(units.contains(unit)) << unit->name() << " is not tried";
}

TEST_F(ParameterText, StereoLinkTextsShowBothHalvesAndParseBack) {
    BandParameterSet& band = table.band(1);
    StereoLinkParameter& link = band.stereoLink;
    EXPECT_EQ((std::vector<std::string>{link.textOfValue(0.25f), link.textOfValue(0.0f),
                                        link.textOfValue(0.75f)}),
              (std::vector<std::string>{"50%", "0%", "100%, 50% Mid-only"}));
    // The band keeps the displayed mode in step with its Stereo Link Mode parameter.
    band.stereoLinkMode.setValue(1.0f, 0);
    EXPECT_EQ(link.textOfValue(1.0f), "100%, 100% Side-only");
    const std::pair<std::size_t, const char*> shortTexts[] = {
        {40, "100%, 50% Side-only"}, {12, "100%, 50% S"}, {7, "100,50S"}, {5, "50S"}, {2, "50"}};
    for (const auto& [characters, text] : shortTexts)
        EXPECT_EQ(link.shortTextOfValue(0.75f, characters), text);
    EXPECT_EQ(link.shortTextOfValue(1.0f, 8), "100,100S");
    link.setStereoLinkMode(StereoLinkMode::kMidDetectionSideProcessing);
    EXPECT_EQ(link.textOfValue(0.6f), "100%, 20% M>S");
    link.setStereoLinkMode(StereoLinkMode::kSideDetectionMidProcessing);
    EXPECT_EQ(link.textOfValue(0.6f), "100%, 20% S>M");

    const std::pair<const char*, float> accepted[] = {
        {"100, 50", 0.75f}, {"50 M", 0.75f}, {"50% side", 0.75f}, {"50", 0.25f},
        {" 50 % ", 0.25f},  {"250", 1.0f},   {"-20", 0.0f},       {"100%, 100% Side-only", 1.0f}};
    for (const auto& [text, expected] : accepted) {
        const Parsed r = parse(link, text);
        EXPECT_TRUE(r.ok && std::fabs(r.value - expected) < 1e-6f) << text << ": " << r.value;
    }
    EXPECT_EQ(link.stereoLinkMode(), StereoLinkMode::kSideDetectionMidProcessing);  // untouched
}

TEST_F(ParameterText, SlopesSnapToMinimumPhaseSlopesOnlyInMinimumPhaseMode) {
    SlopeParameter& slope = table.band(3).highSlope;
    const float at20 = slope.valueFromDisplay(20.0f);
    EXPECT_EQ(slope.textOfValue(at20), "20.0 dB/oct");
    slope.setValue(slope.valueFromDisplay(40.0f), 0);
    EXPECT_EQ(slope.textOfValue(slope.currentValue()), "40.0 dB/oct");

    table.processingMode.setValue(static_cast<float>(ProcessingMode::kMinimumPhase), 0);
    EXPECT_EQ(slope.textOfValue(slope.currentValue()), "36.0 dB/oct");  // shown snapped
    const std::pair<float, float> cases[] = {
        {6.0f, 6.0f},   {8.9f, 6.0f},   {9.0f, 12.0f},  {17.9f, 12.0f}, {20.0f, 24.0f},
        {29.9f, 24.0f}, {30.0f, 36.0f}, {40.0f, 36.0f}, {42.0f, 48.0f}, {48.0f, 48.0f}};
    for (const auto& [dbPerOctave, snapped] : cases) {
        slope.setValue(slope.valueFromDisplay(dbPerOctave), 0);
        EXPECT_NEAR(slope.displayOfValue(slope.currentValue()), snapped, 1e-4) << dbPerOctave;
    }
    EXPECT_EQ(table.band(5).lowSlope.textOfValue(at20), "24.0 dB/oct") << "every band follows";
    table.processingMode.setValue(static_cast<float>(ProcessingMode::kLinearPhase), 0);
    slope.setValue(at20, 0);
    EXPECT_EQ(slope.textOfValue(slope.currentValue()), "20.0 dB/oct");
}

// Whatever a host or a user sends, every parameter stays finite and inside its range.
TEST_F(ParameterText, HostileInputLeavesEveryParameterValidAndFinite) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const std::string alphabet = "0123456789.+-%# abcdefghkmsxABCDEFG*:eE\t";
    // clang-format off
    std::vector<std::string> texts = {"", "   ", "abc", "12 parsecs", "nan", "1e999999", "--5", "%",
        "#", "-INF x", "99999999999999999999999999999999999999999999999999 dB"};
    // clang-format on
    for (int i = 0; i < 300; ++i) {
        std::string& text = texts.emplace_back(random() % 12, ' ');
        for (char& c : text)
            c = alphabet[random() % alphabet.size()];
    }
    for (AbstractPluginParameter* parameter : all) {
        const float low = parameter->minimum(), high = parameter->maximum();
        const auto valid = [&](float v) { return std::isfinite(v) && v >= low && v <= high; };
        for (const float v : {kNaN, kInf, -kInf, 1e30f, -1e30f, 0.5f}) {
            SCOPED_TRACE(::testing::Message() << parameter->name() << " " << v);
            parameter->setValue(v, 0);
            EXPECT_TRUE(valid(parameter->currentValue()));
            EXPECT_FALSE(parameter->textOfValue(v).empty());
            EXPECT_TRUE(valid(parameter->valueOfNormalised(v)));
            const float normalised = parameter->normalisedOfValue(v);
            EXPECT_TRUE(normalised >= 0.0f && normalised <= 1.0f);
            EXPECT_TRUE(valid(parameter->valueFromDisplay(v)));
            EXPECT_TRUE(valid(parameter->scaledMove(v, v, 0.5f)));
        }
        for (const std::string& text : texts) {
            const Parsed r = parse(*parameter, text);
            ASSERT_TRUE(valid(r.value)) << parameter->name() << " <- \"" << text << "\"";
            ASSERT_EQ(r.ok, r.reason.empty()) << parameter->name() << " <- \"" << text << "\"";
            ASSERT_TRUE(r.ok || r.value == parameter->currentValue()) << "refusals keep the value";
            parameter->setValue(r.value, 0);
        }
    }
}

}  // namespace
}  // namespace tessel
