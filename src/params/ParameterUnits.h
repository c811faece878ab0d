#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "params/FloatPluginParameterUnit.h"

namespace tessel {

// The units of the product's continuous parameters. Each kind has one process-wide instance,
// created on first use by a function-local static (thread-safe, and free of any dependence on the
// order in which translation units are initialised) and never destroyed before exit. All are
// immutable after construction, so any thread may use them.

/// Frequency number text in Hz: fewer decimals as the number grows ("12000", "1500.0", "440.00",
/// "30.000").
std::string formatFrequencyHz(float frequencyHz);
/// Time text: "1.50 sec" from 1000 ms up, "20.00 ms" below; the number uses the adaptive format
/// with three decimals.
std::string formatTimeMs(float timeMs);
/// Level number text with an explicit sign and two decimals ("+3.00", "-12.50", "0.00"), or
/// "-INF" at the -180 dB floor.
std::string formatLevelDb(float levelDb);
/// A note name such as "A4", "c#3", "Eb2 -20" or "G" (octave 4): letter A-G in either case, an
/// optional sharp "#" or flat "b", an optional octave (may be negative) and an optional cents
/// number after blanks. Gives the frequency in octaves (log2 Hz) with A4 = 440 Hz.
bool parseNoteName(std::string_view text, float& frequencyOctaves);
/// 20 log10(gain) with -180 dB for gains at or below 1e-10 (and for negative ones).
float typedGainToDb(float gainLinear);

/// Plain frequencies in Hz (the display value is Hz already). Typed units: Hz, kHz, k; note names
/// are understood; numbers are printed by the frequency formatter.
class FreqParameterUnit : public FloatPluginParameterUnit {
public:
    static const FreqParameterUnit& instance();
    bool parse(std::string_view text, float& frequencyOctaves) const override;
    void configure(ParameterTextFormat& format) const override;

protected:
    FreqParameterUnit();
};

/// The same behaviour as FreqParameterUnit, as a unit kind of its own for controls in Hz.
class HzParameterUnit : public FreqParameterUnit {
public:
    static const HzParameterUnit& instance();

private:
    HzParameterUnit() = default;
};

/// Frequencies stored as octave values (log2 Hz) and displayed in Hz.
class ExpFreqParameterUnit : public FreqParameterUnit {
public:
    static const ExpFreqParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

protected:
    ExpFreqParameterUnit() = default;
};

/// Like ExpFreqParameterUnit above 0.125 Hz (log2 value -3); below it a straight line reaches
/// 0 Hz at log2 value -5.643856, so the bottom of a range can show (and be typed as) 0 Hz. Note
/// names are understood here too: every frequency field of the product takes them.
class ExpFreqWithZeroParameterUnit : public ExpFreqParameterUnit {
public:
    static const ExpFreqWithZeroParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

private:
    ExpFreqWithZeroParameterUnit() = default;
};

/// Times displayed in milliseconds. Typed units: ms, sec, s. A bare number below the range was
/// meant in seconds; so was one typed while the control shows seconds (above 1000 ms), as long
/// as it fits the range in milliseconds.
class MsParameterUnit : public FloatPluginParameterUnit {
public:
    static const MsParameterUnit& instance();
    bool format(float displayValue, std::string& text) const override;
    void adjustTypedNumber(float& number, float currentDisplay, float lowerDisplay,
                           float upperDisplay) const override;

private:
    MsParameterUnit();
};

/// Times displayed in seconds; the mirror image of MsParameterUnit (typed units sec, s, ms).
class SecParameterUnit : public FloatPluginParameterUnit {
public:
    static const SecParameterUnit& instance();
    bool format(float displayValue, std::string& text) const override;
    void adjustTypedNumber(float& number, float currentDisplay, float lowerDisplay,
                           float upperDisplay) const override;

private:
    SecParameterUnit();
};

/// Levels in dB. Besides the unit's own name, a gain factor may be typed as "2x" or "2*"
/// (+6.02 dB).
class DBParameterUnitBase : public FloatPluginParameterUnit {
public:
    static const DBParameterUnitBase& instance();

protected:
    explicit DBParameterUnitBase(std::string name);
};

/// Output-style levels printed by the level formatter: sign, two decimals, "-INF" at the floor.
/// A second instance is labelled "dBTP" for true-peak levels.
class DBParameterUnit : public DBParameterUnitBase {
public:
    static const DBParameterUnit& instance();
    static const DBParameterUnit& truePeakInstance();
    void configure(ParameterTextFormat& format) const override;

private:
    explicit DBParameterUnit(std::string name);
};

/// Level differences and spans (a knee width) printed with two decimals and no forced sign.
class DBRangeParameterUnit : public DBParameterUnitBase {
public:
    static const DBRangeParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

private:
    DBRangeParameterUnit();
};

/// Percentages, joined to "%" without a blank ("20.0%").
class PercentParameterUnit : public FloatPluginParameterUnit {
public:
    static const PercentParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

private:
    PercentParameterUnit();
};

/// Compression ratios printed as "4.00:1".
class RatioParameterUnit : public FloatPluginParameterUnit {
public:
    static const RatioParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

private:
    RatioParameterUnit();
};

/// Filter slopes in dB per octave, one decimal.
class SlopeParameterUnit : public FloatPluginParameterUnit {
public:
    static const SlopeParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

private:
    SlopeParameterUnit();
};

/// Pitch intervals stored in octaves and displayed in semitones; octaves, notes and cents may be
/// typed as well.
class OctavesParameterUnit : public FloatPluginParameterUnit {
public:
    static const OctavesParameterUnit& instance();
    void configure(ParameterTextFormat& format) const override;

private:
    OctavesParameterUnit();
};

/// Every unit instance of the process, for tools that list or look up units by name.
const std::vector<const FloatPluginParameterUnit*>& allParameterUnits();

}  // namespace tessel
