#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "params/FloatPluginParameter.h"
#include "params/ParameterUnits.h"
#include "support/Octave.h"

namespace tessel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(ParameterTextFormat, NumberFormatsAdaptDecimalsAndNeverPrintSignedZero) {
    struct Case {
        const char* format;
        float value;
        const char* text;
    };
    const Case cases[] = {
        {"*2f", 9.99f, "9.99"},    {"*2f", 9.999f, "10.0"},    {"*2f", 150.0f, "150"},
        {"*2f", -0.001f, "0.00"},  {"*2f", -12.345f, "-12.3"}, {"*+2f", 3.5f, "+3.50"},
        {"*+2f", -3.5f, "-3.50"},  {"*+2f", 0.0f, "0.00"},     {"*+2f", -0.0f, "0.00"},
        {"*3f", 99.99f, "99.99"},  {"*3f", 99.9996f, "100.0"}, {"*3f", 1234.6f, "1235"},
        {"*0f", 0.4f, "0"},        {"%.1f", -0.04f, "0.0"},    {"%.2f", 4.0f, "4.00"},
        {"%+.2f", 0.001f, "0.00"}, {"%+.2f", 6.02f, "+6.02"},  {"%.1f", kInf, "INF"},
        {"*3f", -kInf, "-INF"},    {"%+.2f", -kInf, "-INF"},   {"%s", 1.5f, "1.500"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParameterTextFormat::formatNumber(c.format, c.value), c.text)
            << c.format << " of " << c.value;
    }
}

TEST(ParameterTextFormat, RefusesNumberFormatsThatCouldNotBeAppliedSafely) {
    FloatPluginParameter p("P");
    for (const char* bad : {"%s", "%d", "%.2f %.2f", "%500f", "%.123f", "plain", "*f", "*12f", "%"})
        EXPECT_FALSE(p.textFormat().setNumberFormat(bad)) << bad;
    EXPECT_EQ(p.textFormat().numberFormat(), "%.3f");
    for (const char* good : {"%.1f", "%+.2f", "%.0f%%", "*3f", "*+2f", "%8.3e", "about %g"})
        EXPECT_TRUE(p.textFormat().setNumberFormat(good)) << good;
}

// One parameter per unit of the product, as the parameter table configures them.
struct UnitCase {
    const char* what;
    const FloatPluginParameterUnit* unit;
    float minimum, maximum, value;
    const char* text;
};

TEST(ParameterTextFormat, UnitsPrintTheirValues) {
    const float a440 = static_cast<float>(hzToOctave(440.0));
    const float k30Hz = static_cast<float>(kOctave30Hz);
    const float k30kHz = static_cast<float>(kOctave30kHz);
    const UnitCase cases[] = {
        {"exp freq", &ExpFreqParameterUnit::instance(), k30Hz, k30kHz, a440, "440.00 Hz"},
        {"exp freq", &ExpFreqParameterUnit::instance(), k30Hz, k30kHz, 10.0f, "1024.0 Hz"},
        {"exp freq", &ExpFreqParameterUnit::instance(), k30Hz, k30kHz, k30kHz, "30000 Hz"},
        {"exp freq", &ExpFreqParameterUnit::instance(), k30Hz, k30kHz, k30Hz, "30.000 Hz"},
        {"zero freq", &ExpFreqWithZeroParameterUnit::instance(), -5.643856f, 14.0f, -5.643856f,
         "0.000 Hz"},
        {"zero freq", &ExpFreqWithZeroParameterUnit::instance(), -5.643856f, 14.0f, -3.0f,
         "0.125 Hz"},
        {"freq", &FreqParameterUnit::instance(), 20.0f, 20000.0f, 12000.0f, "12000 Hz"},
        {"hz", &HzParameterUnit::instance(), 20.0f, 20000.0f, 99.0f, "99.000 Hz"},
        {"ms", &MsParameterUnit::instance(), 0.0f, 20.0f, 1.0f, "1.000 ms"},
        {"ms", &MsParameterUnit::instance(), 0.0f, 20.0f, 20.0f, "20.00 ms"},
        {"ms", &MsParameterUnit::instance(), 0.0f, 5000.0f, 1500.0f, "1.500 sec"},
        {"sec", &SecParameterUnit::instance(), 0.0f, 10.0f, 0.5f, "500.0 ms"},
        {"sec", &SecParameterUnit::instance(), 0.0f, 10.0f, 2.5f, "2.500 sec"},
        {"db", &DBParameterUnit::instance(), -30.0f, 30.0f, 0.0f, "0.00 dB"},
        {"db", &DBParameterUnit::instance(), -30.0f, 30.0f, 6.0f, "+6.00 dB"},
        {"db", &DBParameterUnit::instance(), -30.0f, 30.0f, -12.5f, "-12.50 dB"},
        {"dbtp", &DBParameterUnit::truePeakInstance(), -30.0f, 30.0f, -1.0f, "-1.00 dBTP"},
        {"db base", &DBParameterUnitBase::instance(), -30.0f, 30.0f, 1.5f, "1.500 dB"},
        {"db range", &DBRangeParameterUnit::instance(), 0.0f, 48.0f, 24.0f, "24.00 dB"},
        {"percent", &PercentParameterUnit::instance(), 0.0f, 100.0f, 20.0f, "20.0%"},
        {"percent", &PercentParameterUnit::instance(), 0.0f, 100.0f, 5.5f, "5.50%"},
        {"percent", &PercentParameterUnit::instance(), 0.0f, 100.0f, 100.0f, "100%"},
        {"ratio", &RatioParameterUnit::instance(), 1.0f, 100.0f, 4.0f, "4.00:1"},
        {"slope", &SlopeParameterUnit::instance(), 6.0f, 48.0f, 24.0f, "24.0 dB/oct"},
        {"octaves", &OctavesParameterUnit::instance(), -2.0f, 2.0f, -0.5f, "-6.000 semitones"},
    };
    for (const UnitCase& c : cases) {
        FloatPluginParameter p("P", nullptr, c.minimum, c.maximum, c.value);
        p.textFormat().setUnit(c.unit);
        EXPECT_EQ(p.textOfValue(c.value), c.text) << c.what;
    }
}

TEST(ParameterTextFormat, LevelFormatterShowsTheFloorAsMinusInfinity) {
    // A level whose value is a gain factor: the display map turns the gain into dB.
    FloatPluginParameter level("Level", nullptr, 0.0f, 2.0f, 1.0f);
    level.textFormat().setDisplayMap(&typedGainToDb, nullptr);
    level.textFormat().setUnit(&DBParameterUnit::instance());
    EXPECT_EQ(level.textOfValue(0.0f), "-INF dB");
    EXPECT_EQ(level.textOfValue(1.0f), "0.00 dB");
    EXPECT_EQ(level.textOfValue(2.0f), "+6.02 dB");
    EXPECT_EQ(formatLevelDb(-179.89f), "-179.89");
}

TEST(ParameterTextFormat, RangeMappingsDriveTheDisplay) {
    // Threshold style: the stored 0..1 maps onto -90..0 dB.
    FloatPluginParameter threshold("Threshold", nullptr, 0.0f, 1.0f, 0.7f);
    threshold.textFormat().setLinearRange(-90.0f, 0.0f);
    threshold.textFormat().setUnit(&DBParameterUnit::instance());
    EXPECT_EQ(threshold.textOfValue(0.5f), "-45.00 dB");
    EXPECT_EQ(threshold.textOfValue(1.0f), "0.00 dB");
    EXPECT_FLOAT_EQ(threshold.valueFromLinear(-45.0f), 0.5f);

    // Mix style: 0..2 shown as 0..200 %, with an explicit format overriding the unit's.
    FloatPluginParameter mix("Mix", nullptr, 0.0f, 2.0f, 1.0f);
    mix.textFormat().setUnit(&PercentParameterUnit::instance());
    mix.textFormat().setPercentDisplayOfRange();
    ASSERT_TRUE(mix.textFormat().setNumberFormat("*3f"));
    EXPECT_EQ(mix.textOfValue(1.0f), "100.0%");
    EXPECT_EQ(mix.textOfValue(2.0f), "200.0%");
    EXPECT_EQ(mix.textOfValue(0.0f), "0.000%");
    EXPECT_EQ(mix.shortTextOfValue(1.0f, 3), "100");
}

}  // namespace
}  // namespace tessel
