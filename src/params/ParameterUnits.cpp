#include "params/ParameterUnits.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "params/ParameterTextFormat.h"

namespace tessel {

namespace {

constexpr float kLn2 = 0.6931471805599453f;
constexpr float kLog2E = 1.442695040888963f;

// Below 0.125 Hz (log2 value -3) the zero-capable frequency map is a straight line that meets
// 2^x at -3 and reaches 0 Hz at -5.643856.
constexpr float kZeroLineStartOctaves = -5.643856f;
constexpr float kZeroLineSlope = 0.04727943f;  // Hz per octave value
constexpr float kZeroLineInverseSlope = 21.150848f;
constexpr float kZeroLineJoinOctaves = -3.0f;
constexpr float kZeroLineJoinHz = 0.125f;

float octavesToHz(float frequencyOctaves) {
    return std::exp(frequencyOctaves * kLn2);
}

float hzToOctaves(float frequencyHz) {
    // A typed 0 or negative frequency would give -inf or NaN: take the floor of the float range
    // instead, which the parameter's clamping turns into its minimum.
    if (!(frequencyHz > 0.0f)) return -std::numeric_limits<float>::max();
    return std::log(frequencyHz) * kLog2E;
}

float octavesToHzWithZero(float frequencyOctaves) {
    if (frequencyOctaves >= kZeroLineJoinOctaves) return octavesToHz(frequencyOctaves);
    return (frequencyOctaves - kZeroLineStartOctaves) * kZeroLineSlope;
}

float hzToOctavesWithZero(float frequencyHz) {
    if (frequencyHz >= kZeroLineJoinHz) return hzToOctaves(frequencyHz);
    return kZeroLineInverseSlope * frequencyHz + kZeroLineStartOctaves;
}

float octavesToSemitones(float octaves) {
    return 12.0f * octaves;
}

float semitonesToOctaves(float semitones) {
    return semitones / 12.0f;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string formatFrequencyHz(float frequencyHz) {
    const char* format = "%.3f";
    if (frequencyHz > 9999.95f) {
        format = "%.0f";
    } else if (frequencyHz > 999.995f) {
        format = "%.1f";
    } else if (frequencyHz > 99.9995f) {
        format = "%.2f";
    }
    return ParameterTextFormat::formatNumber(format, frequencyHz);
}

std::string formatTimeMs(float timeMs) {
    if (timeMs >= 1000.0f)
        return ParameterTextFormat::formatNumber("*3f", timeMs * 0.001f) + " sec";
    return ParameterTextFormat::formatNumber("*3f", timeMs) + " ms";
}

std::string formatLevelDb(float levelDb) {
    if (levelDb < -179.9f) return "-INF";
    return ParameterTextFormat::formatNumber("%+.2f", levelDb);
}

float typedGainToDb(float gainLinear) {
    if (!(gainLinear > 1e-10f)) return -180.0f;
    return std::max(-180.0f, 20.0f * std::log10(gainLinear));
}

bool parseNoteName(std::string_view text, float& frequencyOctaves) {
    static constexpr int kSemitoneOfLetter[7] = {9, 11, 0, 2, 4, 5, 7};  // A..G
    std::size_t i = 0;
    if (text.empty()) return false;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i++])));
    if (letter < 'A' || letter > 'G') return false;
    int semitone = kSemitoneOfLetter[letter - 'A'];
    if (i < text.size() && text[i] == '#') {
        ++semitone;
        ++i;
    } else if (i < text.size() && (text[i] == 'b' || text[i] == 'B')) {
        // An upper-case B after the letter can only be meant as a flat ("EB3").
        --semitone;
        ++i;
    }
    int octave = 4;
    const std::size_t octaveStart = i;
    if (i < text.size() && text[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (digits > 2) return false;  // no audible note lives beyond octave 99
    if (digits > 0) {
        std::from_chars(text.data() + octaveStart + (text[octaveStart] == '-' ? 1 : 0),
                        text.data() + i, octave);
        if (text[octaveStart] == '-') octave = -octave;
    } else if (i != octaveStart) {
        return false;  // a lone minus sign
    }
    double cents = 0.0;
    const std::size_t afterOctave = i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i < text.size()) {
        if (i == afterOctave) return false;  // "A4x": the cents must stand apart
        const char* first = text.data() + i + (text[i] == '+' ? 1 : 0);
        const auto result = std::from_chars(first, text.data() + text.size(), cents);
        if (result.ec != std::errc{} || result.ptr != text.data() + text.size() ||
            !std::isfinite(cents))
            return false;
    }
    const double midiNote = (octave + 1) * 12.0 + cents * 0.01 + semitone;
    frequencyOctaves = static_cast<float>((midiNote - 69.0) / 12.0 + std::log2(440.0));
    return true;
}

// ---- frequency units ----

FreqParameterUnit::FreqParameterUnit() : FloatPluginParameterUnit("Hz") {
    addTypedUnit("kHz", 1000.0f);
    addTypedUnit("k", 1000.0f);
}

const FreqParameterUnit& FreqParameterUnit::instance() {
    static const FreqParameterUnit unit;
    return unit;
}

bool FreqParameterUnit::parse(std::string_view text, float& frequencyOctaves) const {
    return parseNoteName(text, frequencyOctaves);
}

void FreqParameterUnit::configure(ParameterTextFormat& format) const {
    format.setCustomFormatter(&formatFrequencyHz);
}

const HzParameterUnit& HzParameterUnit::instance() {
    static const HzParameterUnit unit;
    return unit;
}

const ExpFreqParameterUnit& ExpFreqParameterUnit::instance() {
    static const ExpFreqParameterUnit unit;
    return unit;
}

void ExpFreqParameterUnit::configure(ParameterTextFormat& format) const {
    FreqParameterUnit::configure(format);
    format.setDisplayMap(&octavesToHz, &hzToOctaves);
}

const ExpFreqWithZeroParameterUnit& ExpFreqWithZeroParameterUnit::instance() {
    static const ExpFreqWithZeroParameterUnit unit;
    return unit;
}

void ExpFreqWithZeroParameterUnit::configure(ParameterTextFormat& format) const {
    FreqParameterUnit::configure(format);
    format.setDisplayMap(&octavesToHzWithZero, &hzToOctavesWithZero);
}

// ---- time units ----

MsParameterUnit::MsParameterUnit() : FloatPluginParameterUnit("ms") {
    addTypedUnit("sec", 1000.0f);
    addTypedUnit("s", 1000.0f);
}

const MsParameterUnit& MsParameterUnit::instance() {
    static const MsParameterUnit unit;
    return unit;
}

bool MsParameterUnit::format(float displayValue, std::string& text) const {
    text = formatTimeMs(displayValue);
    return true;
}

void MsParameterUnit::adjustTypedNumber(float& number, float currentDisplay, float lowerDisplay,
                                        float upperDisplay) const {
    if (number < lowerDisplay) {
        number *= 1000.0f;
    } else if (currentDisplay > 1000.0f && number * 1000.0f < upperDisplay) {
        number *= 1000.0f;
    }
}

SecParameterUnit::SecParameterUnit() : FloatPluginParameterUnit("sec") {
    addTypedUnit("s", 1.0f);
    addTypedUnit("ms", 0.001f);
}

const SecParameterUnit& SecParameterUnit::instance() {
    static const SecParameterUnit unit;
    return unit;
}

bool SecParameterUnit::format(float displayValue, std::string& text) const {
    // The time text is built from milliseconds; this unit displays seconds.
    text = formatTimeMs(displayValue * 1000.0f);
    return true;
}

void SecParameterUnit::adjustTypedNumber(float& number, float currentDisplay, float lowerDisplay,
                                         float upperDisplay) const {
    if (number > upperDisplay) {
        number *= 0.001f;
    } else if (currentDisplay < 1.0f && number * 0.001f > lowerDisplay) {
        number *= 0.001f;
    }
}

// ---- level units ----

DBParameterUnitBase::DBParameterUnitBase(std::string name)
    : FloatPluginParameterUnit(std::move(name)) {
    addTypedUnit("x", 1.0f, &typedGainToDb);
    addTypedUnit("*", 1.0f, &typedGainToDb);
}

const DBParameterUnitBase& DBParameterUnitBase::instance() {
    static const DBParameterUnitBase unit("dB");
    return unit;
}

DBParameterUnit::DBParameterUnit(std::string name) : DBParameterUnitBase(std::move(name)) {}

const DBParameterUnit& DBParameterUnit::instance() {
    static const DBParameterUnit unit("dB");
    return unit;
}

const DBParameterUnit& DBParameterUnit::truePeakInstance() {
    static const DBParameterUnit unit("dBTP");
    return unit;
}

void DBParameterUnit::configure(ParameterTextFormat& format) const {
    format.setCustomFormatter(&formatLevelDb);
}

DBRangeParameterUnit::DBRangeParameterUnit() : DBParameterUnitBase("dB") {}

const DBRangeParameterUnit& DBRangeParameterUnit::instance() {
    static const DBRangeParameterUnit unit;
    return unit;
}

void DBRangeParameterUnit::configure(ParameterTextFormat& format) const {
    format.setNumberFormat("%.2f");
}

// ---- plain units ----

PercentParameterUnit::PercentParameterUnit() : FloatPluginParameterUnit("%") {}

const PercentParameterUnit& PercentParameterUnit::instance() {
    static const PercentParameterUnit unit;
    return unit;
}

void PercentParameterUnit::configure(ParameterTextFormat& format) const {
    format.setNumberFormat("*2f");
    format.setSeparator("");
}

RatioParameterUnit::RatioParameterUnit() : FloatPluginParameterUnit(":1") {}

const RatioParameterUnit& RatioParameterUnit::instance() {
    static const RatioParameterUnit unit;
    return unit;
}

void RatioParameterUnit::configure(ParameterTextFormat& format) const {
    format.setNumberFormat("%.2f");
    format.setSeparator("");
}

SlopeParameterUnit::SlopeParameterUnit() : FloatPluginParameterUnit("dB/oct") {}

const SlopeParameterUnit& SlopeParameterUnit::instance() {
    static const SlopeParameterUnit unit;
    return unit;
}

void SlopeParameterUnit::configure(ParameterTextFormat& format) const {
    format.setNumberFormat("%.1f");
}

OctavesParameterUnit::OctavesParameterUnit() : FloatPluginParameterUnit("semitones") {
    addTypedUnit("semitone", 1.0f);
    addTypedUnit("octaves", 12.0f);
    addTypedUnit("octave", 12.0f);
    addTypedUnit("oct", 12.0f);
    addTypedUnit("notes", 1.0f);
    addTypedUnit("note", 1.0f);
    addTypedUnit("cents", 0.01f);
    addTypedUnit("cent", 0.01f);
}

const OctavesParameterUnit& OctavesParameterUnit::instance() {
    static const OctavesParameterUnit unit;
    return unit;
}

void OctavesParameterUnit::configure(ParameterTextFormat& format) const {
    format.setDisplayMap(&octavesToSemitones, &semitonesToOctaves);
}

const std::vector<const FloatPluginParameterUnit*>& allParameterUnits() {
    static const std::vector<const FloatPluginParameterUnit*> units = {
        &FreqParameterUnit::instance(),       &HzParameterUnit::instance(),
        &ExpFreqParameterUnit::instance(),    &ExpFreqWithZeroParameterUnit::instance(),
        &MsParameterUnit::instance(),         &SecParameterUnit::instance(),
        &DBParameterUnitBase::instance(),     &DBParameterUnit::instance(),
        &DBParameterUnit::truePeakInstance(), &DBRangeParameterUnit::instance(),
        &PercentParameterUnit::instance(),    &RatioParameterUnit::instance(),
        &SlopeParameterUnit::instance(),      &OctavesParameterUnit::instance(),
    };
    return units;
}

}  // namespace tessel
