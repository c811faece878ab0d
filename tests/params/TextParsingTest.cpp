#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "params/FloatPluginParameter.h"
#include "params/ParameterUnits.h"
#include "support/Octave.h"

namespace tessel {
namespace {

using ParameterPtr = std::unique_ptr<FloatPluginParameter>;

ParameterPtr makeParameter(const FloatPluginParameterUnit& unit, float minimum, float maximum,
                           float value) {
    auto p = std::make_unique<FloatPluginParameter>("P", nullptr, minimum, maximum, value);
    p->textFormat().setUnit(&unit);
    return p;
}

// The kinds of continuous controls the product builds, keyed by a short name.
ParameterPtr makeNamed(const std::string& name) {
    if (name == "freq")
        return makeParameter(ExpFreqParameterUnit::instance(), float(kOctave30Hz),
                             float(kOctave30kHz), float(kOctave30Hz));
    if (name == "threshold") {
        auto p = makeParameter(DBParameterUnit::instance(), 0.0f, 1.0f, 0.7f);
        p->textFormat().setLinearRange(-90.0f, 0.0f);
        return p;
    }
    if (name == "range") return makeParameter(DBParameterUnit::instance(), -30.0f, 30.0f, 0.0f);
    if (name == "lookahead") return makeParameter(MsParameterUnit::instance(), 0.0f, 20.0f, 1.0f);
    if (name == "release")
        return makeParameter(MsParameterUnit::instance(), 0.0f, 5000.0f, 2000.0f);
    if (name == "seconds") return makeParameter(SecParameterUnit::instance(), 0.001f, 10.0f, 0.5f);
    if (name == "mix") {
        auto p = makeParameter(PercentParameterUnit::instance(), 0.0f, 2.0f, 1.0f);
        p->textFormat().setPercentDisplayOfRange();
        return p;
    }
    if (name == "semitones")
        return makeParameter(OctavesParameterUnit::instance(), -2.0f, 2.0f, 0.0f);
    return std::make_unique<FloatPluginParameter>("Plain", nullptr, 0.0f, 10.0f, 1.0f);
}

double hzOfMidiNote(double note) {
    return 440.0 * std::exp2((note - 69.0) / 12.0);
}

TEST(ParameterTextParsing, TypedTextGivesTheExpectedDisplayValue) {
    struct Case {
        const char* parameter;
        const char* text;
        double display;
    };
    const Case cases[] = {
        // Frequencies: plain numbers, typed units, notes, percent of the stored range, clamping.
        {"freq", "1k", 1000.0},
        {"freq", "1 kHz", 1000.0},
        {"freq", "  440 hz", 440.0},
        {"freq", "A4", 440.0},
        {"freq", "a4", 440.0},
        {"freq", "D#3 50", hzOfMidiNote(51.5)},
        {"freq", "Bb2", hzOfMidiNote(46)},
        {"freq", "EB3", hzOfMidiNote(51)},
        {"freq", "C", hzOfMidiNote(60)},
        {"freq", "C-1", 30.0},
        {"freq", "G9 -20", hzOfMidiNote(127 - 0.2)},
        {"freq", "50%", std::exp2((kOctave30Hz + kOctave30kHz) / 2)},
        {"freq", "100 kHz", 30000.0},
        {"freq", "10", 30.0},
        // Levels: the sign rule for all-negative ranges, gain factors, clamping.
        {"threshold", "12", -12.0},
        {"threshold", "-12", -12.0},
        {"threshold", "12 dB", -12.0},
        {"threshold", "100", -90.0},
        {"threshold", "0.5x", -6.0206},
        {"threshold", "50%", -45.0},
        {"range", "5", 5.0},
        {"range", "-5", -5.0},
        {"range", "+3 db", 3.0},
        {"range", "2x", 6.0206},
        {"range", "2*", 6.0206},
        {"range", "0x", -30.0},
        {"range", "-2x", -30.0},
        {"range", "99", 30.0},
        // Times: typed units and the seconds/milliseconds guess for bare numbers.
        {"lookahead", "5", 5.0},
        {"lookahead", "5 ms", 5.0},
        {"lookahead", "0.01 s", 10.0},
        {"lookahead", "0.005 SEC", 5.0},
        {"lookahead", "-3", 0.0},
        {"release", "1.5", 1500.0},
        {"release", "800", 800.0},
        {"seconds", "200", 0.2},
        {"seconds", "2", 0.002},
        {"seconds", "2 s", 2.0},
        {"seconds", "500 ms", 0.5},
        // Percent units count in their own percent; plain parameters take percent of range.
        {"mix", "150%", 150.0},
        {"mix", "150", 150.0},
        {"mix", "250", 200.0},
        {"semitones", "7", 7.0},
        {"semitones", "1 octave", 12.0},
        {"semitones", "-1 oct", -12.0},
        {"semitones", "50 cents", 0.5},
        {"semitones", "3 notes", 3.0},
        {"plain", "50 %", 5.0},
        {"plain", "7.25", 7.25},
        {"plain", ".5", 0.5},
        {"plain", "123456789012345678901234567890123456789012345678901234567890", 10.0},
    };
    for (const Case& c : cases) {
        const ParameterPtr p = makeNamed(c.parameter);
        float value = 0.0f;
        std::string reason;
        ASSERT_TRUE(p->valueFromText(c.text, value, reason))
            << c.parameter << " " << c.text << ": " << reason;
        EXPECT_NEAR(p->displayOfValue(value), c.display, 1e-4 * std::max(1.0, std::fabs(c.display)))
            << c.parameter << " \"" << c.text << "\"";
    }
}

TEST(ParameterTextParsing, RejectsGarbageWithAReasonAndKeepsTheCurrentValue) {
    struct Case {
        const char* parameter;
        const char* text;
        const char* reasonContains;
    };
    const Case cases[] = {
        {"freq", "", "Not a number"},
        {"freq", "H4", "Not a number"},
        {"freq", "abc", "Not a number"},
        {"freq", "A4x", "Not a number"},
        {"freq", "C123", "Not a number"},
        {"freq", "nan", "Not a number"},
        {"freq", "inf", "Not a number"},
        {"freq", "-", "Not a number"},
        {"freq", "1 megahertz", "Unknown unit"},
        {"freq", "1k extra", "Unexpected text"},
        {"lookahead", "1 min", "Unknown unit"},
        {"plain", "1e3", "Unknown unit"},
        {"plain", "5 foo", "Unknown unit"},
        {"plain", "A4", "Not a number"},
        {"range", "2 x x", "Unexpected text"},
    };
    for (const Case& c : cases) {
        const ParameterPtr p = makeNamed(c.parameter);
        float value = -1.0f;
        std::string reason;
        EXPECT_FALSE(p->valueFromText(c.text, value, reason)) << c.parameter << " " << c.text;
        EXPECT_EQ(value, p->currentValue()) << c.text;
        EXPECT_NE(reason.find(c.reasonContains), std::string::npos) << c.text << " -> " << reason;
    }
}

TEST(ParameterTextParsing, PrefixMayPrecedeTheNumber) {
    const ParameterPtr p = makeNamed("range");
    p->textFormat().setPrefix("Gain");
    float value = 0.0f;
    std::string reason;
    ASSERT_TRUE(p->valueFromText("  Gain  -6 dB", value, reason)) << reason;
    EXPECT_FLOAT_EQ(value, -6.0f);
    ASSERT_TRUE(p->valueFromText("4", value, reason)) << reason;
    EXPECT_FLOAT_EQ(value, 4.0f);
}

TEST(ParameterTextParsing, RandomTextNeverLeavesTheRange) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const std::string alphabet = "0123456789.+-%# abcdefghkmsxABCDEFG*:eE\t";
    for (const char* name :
         {"freq", "threshold", "range", "lookahead", "seconds", "mix", "semitones"}) {
        const ParameterPtr p = makeNamed(name);
        for (int i = 0; i < 2000; ++i) {
            std::string text(random() % 12, ' ');
            for (char& c : text)
                c = alphabet[random() % alphabet.size()];
            float value = 0.0f;
            std::string reason;
            const bool ok = p->valueFromText(text, value, reason);
            ASSERT_TRUE(std::isfinite(value))
                << "seed " << seed << " " << name << " \"" << text << "\"";
            ASSERT_GE(value, p->minimum()) << "seed " << seed << " \"" << text << "\"";
            ASSERT_LE(value, p->maximum()) << "seed " << seed << " \"" << text << "\"";
            ASSERT_EQ(ok, reason.empty()) << "seed " << seed << " \"" << text << "\"";
        }
    }
}

}  // namespace
}  // namespace tessel
