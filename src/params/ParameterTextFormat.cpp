#include "params/ParameterTextFormat.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "params/FloatPluginParameter.h"
#include "params/FloatPluginParameterUnit.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

float apply(ParameterTextFormat::Map map, float x) noexcept {
    return map != nullptr ? map(x) : x;
}

bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

std::string_view skipBlanks(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    return text.substr(i);
}

bool isDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Reads an optionally signed decimal number ("12", "-0.5", "+.25", "3."). No exponent and no
// "inf"/"nan" words: those are not numbers a user types into a control. Returns the characters
// used, 0 when there is no number. Digits beyond the float range read as an infinity, which the
// callers clamp.
std::size_t readDecimal(std::string_view text, double& number) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) return 0;
    double magnitude = 0.0;
    const auto result = std::from_chars(text.data() + start, text.data() + i, magnitude);
    if (result.ec == std::errc::result_out_of_range) {
        magnitude = std::numeric_limits<double>::infinity();
    } else if (result.ec != std::errc{} || result.ptr != text.data() + i) {
        return 0;
    }
    number = negative ? -magnitude : magnitude;
    return i;
}

// Reads the infinity texts the formatters print, "INF" and "-INF" (also "+INF"), exactly in
// upper case; returns the characters used. A typed lower-case "inf" stays a typing error.
std::size_t readInfinity(std::string_view text, double& number) noexcept {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) ++i;
    if (text.substr(i, 3) != "INF") return 0;
    i += 3;
    if (i < text.size() && !isBlank(text[i])) return 0;  // "INFO" is not a number
    number = negative ? -std::numeric_limits<double>::infinity()
                      : std::numeric_limits<double>::infinity();
    return i;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    out.append(text);
    out += '"';
    return out;
}

std::string printDouble(const char* format, double value) {
    const int length = std::snprintf(nullptr, 0, format, value);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, value);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

// "-0.0" and "+0.00" are zero: a sign in front of a number without a non-zero digit goes.
void dropSignOfZero(std::string& text) {
    if (std::any_of(text.begin(), text.end(), [](char c) { return c >= '1' && c <= '9'; })) return;
    const std::size_t sign = text.find_first_of("+-");
    if (sign != std::string::npos) text.erase(sign, 1);
}

// Parses "*Nf" or "*+Nf"; N is 0..9.
bool parseAdaptive(std::string_view format, int& decimals, bool& plus) noexcept {
    if (format.size() < 3 || format[0] != '*') return false;
    std::size_t i = 1;
    plus = format[i] == '+';
    if (plus) ++i;
    if (format.size() != i + 2 || !isDigit(format[i]) || format[i + 1] != 'f') return false;
    decimals = format[i] - '0';
    return true;
}

}  // namespace

ParameterTextFormat::ParameterTextFormat(const FloatPluginParameter& parameter) noexcept
    : parameter_(parameter) {}

float ParameterTextFormat::linear(float value) const noexcept {
    return apply(toLinear_, value) * linearScale_ + linearOffset_;
}

float ParameterTextFormat::display(float value) const noexcept {
    return apply(toDisplay_, linear(value) * displayScale_ + displayOffset_);
}

float ParameterTextFormat::valueFromDisplay(float display) const noexcept {
    const float linearValue = (apply(fromDisplay_, display) - displayOffset_) / displayScale_;
    return valueFromLinear(linearValue);
}

float ParameterTextFormat::valueFromLinear(float linear) const noexcept {
    return apply(fromLinear_, (linear - linearOffset_) / linearScale_);
}

std::string ParameterTextFormat::format(float value) const {
    const float d = display(value);
    std::string text;
    if (unit_ != nullptr && unit_->format(d, text)) return text;
    text = customFormatter_ != nullptr ? customFormatter_(d) : formatNumber(numberFormat_, d);
    if (!unitLabel_.empty()) text += separator_ + unitLabel_;
    return text;
}

std::string ParameterTextFormat::formatNumber(std::string_view numberFormat, float displayValue) {
    if (std::isinf(displayValue)) return displayValue > 0.0f ? "INF" : "-INF";
    // Unreachable through a parameter (values are finite and the maps keep them so), but a text
    // must come out of any float.
    if (std::isnan(displayValue)) return "NaN";
    std::string text;
    int decimals = 0;
    bool plus = false;
    if (parseAdaptive(numberFormat, decimals, plus)) {
        // N decimals below 10, one fewer per decade above it. The threshold is the smallest
        // number that N decimals would round up to 10, so 9.999 with "*2f" reads "10.0", not
        // "10.00".
        const double threshold = 10.0 - 0.5 / std::pow(10.0, decimals);
        double magnitude = std::fabs(static_cast<double>(displayValue));
        while (decimals > 0 && magnitude >= threshold) {
            --decimals;
            magnitude /= 10.0;
        }
        char format[8] = "%.0f";
        if (plus) {
            std::snprintf(format, sizeof format, "%%+.%df", decimals);
        } else {
            std::snprintf(format, sizeof format, "%%.%df", decimals);
        }
        text = printDouble(format, displayValue);
    } else {
        const std::string format(isValidNumberFormat(numberFormat) ? numberFormat : "%.3f");
        text = printDouble(format.c_str(), displayValue);
    }
    dropSignOfZero(text);
    return text;
}

bool ParameterTextFormat::isValidNumberFormat(std::string_view numberFormat) noexcept {
    int decimals = 0;
    bool plus = false;
    if (parseAdaptive(numberFormat, decimals, plus)) return true;
    int conversions = 0;
    for (std::size_t i = 0; i < numberFormat.size(); ++i) {
        if (numberFormat[i] != '%') continue;
        ++i;
        if (i < numberFormat.size() && numberFormat[i] == '%') continue;
        while (i < numberFormat.size() &&
               std::string_view("+- #0").find(numberFormat[i]) != std::string_view::npos)
            ++i;
        // Width and precision of at most two digits keep every text short.
        std::size_t digits = 0;
        while (i < numberFormat.size() && isDigit(numberFormat[i]) && digits < 3) {
            ++i;
            ++digits;
        }
        if (digits > 2) return false;
        if (i < numberFormat.size() && numberFormat[i] == '.') {
            ++i;
            digits = 0;
            while (i < numberFormat.size() && isDigit(numberFormat[i]) && digits < 3) {
                ++i;
                ++digits;
            }
            if (digits > 2) return false;
        }
        if (i >= numberFormat.size() ||
            std::string_view("fFeEgG").find(numberFormat[i]) == std::string_view::npos)
            return false;
        ++conversions;
    }
    return conversions == 1;
}

bool ParameterTextFormat::setNumberFormat(std::string numberFormat) {
    if (!isValidNumberFormat(numberFormat)) return false;
    numberFormat_ = std::move(numberFormat);
    return true;
}

void ParameterTextFormat::setDisplayMap(Map toDisplay, Map fromDisplay) noexcept {
    toDisplay_ = toDisplay;
    fromDisplay_ = fromDisplay;
}

// A zero or non-finite scale would make the chain irreversible; such a request is refused.
void ParameterTextFormat::setDisplayScaleOffset(float scale, float offset) noexcept {
    if (!std::isfinite(scale) || scale == 0.0f || !std::isfinite(offset)) return;
    displayScale_ = scale;
    displayOffset_ = offset;
}

void ParameterTextFormat::setValueMap(Map toLinear, Map fromLinear) noexcept {
    toLinear_ = toLinear;
    fromLinear_ = fromLinear;
}

void ParameterTextFormat::setLinearScaleOffset(float scale, float offset) noexcept {
    if (!std::isfinite(scale) || scale == 0.0f || !std::isfinite(offset)) return;
    linearScale_ = scale;
    linearOffset_ = offset;
}

void ParameterTextFormat::setUnit(const FloatPluginParameterUnit* unit) {
    unit_ = unit;
    if (unit_ == nullptr) return;
    unitLabel_ = unit_->name();
    unit_->configure(*this);
}

void ParameterTextFormat::setPercentDisplayOfRange() noexcept {
    const float low = linear(parameter_.minimum());
    const float span = linear(parameter_.maximum()) - low;
    if (std::fabs(span) <= kFloatTolerance) return;
    const float scale = 200.0f / span;
    setDisplayScaleOffset(scale, -scale * low);
}

void ParameterTextFormat::setLinearRange(float a, float b) noexcept {
    const float span = parameter_.maximum() - parameter_.minimum();
    if (!(span > 0.0f)) return;
    const float scale = (b - a) / span;
    setLinearScaleOffset(scale, a - parameter_.minimum() * scale);
    displayScale_ = 1.0f;
    displayOffset_ = 0.0f;
}

float ParameterTextFormat::clampToRange(float value) const noexcept {
    return parameter_.clampToRange(value);
}

bool ParameterTextFormat::parse(std::string_view text, float& value,
                                std::string& failureReason) const {
    value = parameter_.currentValue();
    std::string_view rest = skipBlanks(text);
    if (!prefix_.empty() && rest.starts_with(prefix_))
        rest = skipBlanks(rest.substr(prefix_.size()));

    const auto accept = [&](float parsed) {
        // NaN here means the text named something the display maps cannot reach.
        if (std::isnan(parsed)) {
            failureReason = "Not a valid value for " + parameter_.name() + ": " + quoted(text);
            return false;
        }
        value = clampToRange(parsed);
        return true;
    };

    double number = 0.0;
    std::size_t used = readDecimal(rest, number);
    // The formatters print infinities (a level at its floor) as "-INF" and "INF"; such a text
    // typed back gives the end of the range, not an error.
    if (used == 0) used = readInfinity(rest, number);
    if (used == 0) {
        float frequencyOctaves = 0.0f;
        const std::string_view trimmed = rest.substr(0, rest.find_last_not_of(" \t") + 1);
        if (unit_ == nullptr || trimmed.empty() || !unit_->parse(trimmed, frequencyOctaves)) {
            failureReason = "Not a number: " + quoted(text);
            return false;
        }
        return accept(valueFromDisplay(std::exp2(frequencyOctaves)));
    }

    rest = skipBlanks(rest.substr(used));
    std::size_t wordEnd = 0;
    while (wordEnd < rest.size() && !isBlank(rest[wordEnd]))
        ++wordEnd;
    const std::string_view word = rest.substr(0, wordEnd);
    if (!skipBlanks(rest.substr(wordEnd)).empty()) {
        failureReason = "Unexpected text after the unit: " + quoted(text);
        return false;
    }

    const float lowValue = parameter_.minimum();
    const float highValue = parameter_.maximum();
    if (word == "%" && unitLabel_ != "%") {
        // Percent of the stored range, for every parameter that does not count in percent.
        return accept(lowValue + (highValue - lowValue) * static_cast<float>(number * 0.01));
    }

    const float displayLow = display(lowValue);
    const float displayHigh = display(highValue);
    float typed = static_cast<float>(number);
    if (word.empty()) {
        if (unit_ != nullptr)
            unit_->adjustTypedNumber(typed, display(parameter_.currentValue()),
                                     std::min(displayLow, displayHigh),
                                     std::max(displayLow, displayHigh));
    } else {
        const FloatPluginParameterUnit::TypedUnit* typedUnit =
            unit_ != nullptr ? unit_->findTypedUnit(word) : nullptr;
        if (typedUnit == nullptr) {
            failureReason = "Unknown unit " + quoted(word) + " for " + parameter_.name();
            return false;
        }
        typed = typed * typedUnit->scale;
        if (typedUnit->conversion != nullptr) typed = typedUnit->conversion(typed);
    }
    // A control that shows only negative numbers (a threshold, -90..0 dB) takes a typed 12 as
    // -12: nobody types the minus sign of every threshold.
    if (displayLow <= 0.0f && displayHigh <= 0.0f) typed = -std::fabs(typed);
    if (std::isnan(typed)) return accept(typed);
    typed = std::clamp(typed, std::min(displayLow, displayHigh), std::max(displayLow, displayHigh));
    return accept(valueFromDisplay(typed));
}

}  // namespace tessel
