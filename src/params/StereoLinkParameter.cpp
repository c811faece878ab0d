#include "params/StereoLinkParameter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tessel {

namespace {

constexpr const char* kModeWords[] = {"Mid-only", "Side-only", "M>S", "S>M"};

std::string printPercent(const char* format, double percent) {
    char text[64];
    std::snprintf(text, sizeof text, format, percent);
    return text;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

std::size_t skipSpaces(std::string_view text, std::size_t i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    return i;
}

}  // namespace

StereoLinkParameter::StereoLinkParameter(std::string name, GenericParameterOwner* owner)
    : FloatPluginParameter(std::move(name), owner, 0.0f, 1.0f, 0.5f) {}

void StereoLinkParameter::setStereoLinkMode(StereoLinkMode mode) noexcept {
    const auto index = static_cast<int32_t>(mode);
    if (index >= 0 && index <= 3) stereoLinkMode_ = mode;
}

std::string StereoLinkParameter::textOfValue(float value) const {
    const double v = clampToRange(value);
    std::string text = printPercent("%.0f%%", std::min(v, 0.5) * 200.0);
    if (v > 0.5) {
        text += ", ";
        text += printPercent("%.0f%% ", (v - 0.5) * 200.0);
        text += kModeWords[static_cast<int32_t>(stereoLinkMode_)];
    }
    return text;
}

std::string StereoLinkParameter::shortTextOfValue(float value, std::size_t maxCharacters) const {
    std::string text = textOfValue(value);
    if (text.size() > maxCharacters) {
        replaceAll(text, "Mid-only", "M");
        replaceAll(text, "Side-only", "S");
    }
    if (text.size() > maxCharacters) std::erase(text, '%');
    if (text.size() > maxCharacters) std::erase(text, ' ');
    if (text.size() > maxCharacters) replaceAll(text, "100,", "");
    if (text.size() > maxCharacters) text.resize(maxCharacters);
    return text;
}

bool StereoLinkParameter::valueFromText(std::string_view text, float& value,
                                        std::string& failureReason) const {
    value = currentValue();
    const auto reject = [&] {
        failureReason = "Not a stereo link setting: \"" + std::string(text) + "\"";
        return false;
    };
    std::size_t i = 0;
    const std::size_t comma = text.find(',');
    const bool sawComma = comma != std::string_view::npos;
    if (sawComma) i = comma + 1;
    i = skipSpaces(text, i);

    // A plain decimal number, optionally signed; no exponent, "inf" or "nan".
    std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t digitsStart = i;
    while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.'))
        ++i;
    if (i == digitsStart) return reject();
    if (text[start] == '+') ++start;
    double number = 0.0;
    const auto result = std::from_chars(text.data() + start, text.data() + i, number);
    if (result.ec == std::errc::result_out_of_range) {
        number = text[start] == '-' ? -INFINITY : INFINITY;
    } else if (result.ec != std::errc{} || result.ptr != text.data() + i) {
        return reject();
    }

    i = skipSpaces(text, i);
    if (i < text.size() && text[i] == '%') ++i;
    i = skipSpaces(text, i);
    bool secondHalf = sawComma;
    if (i < text.size()) {
        const char next = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        if (next != 'M' && next != 'S') return reject();
        secondHalf = true;
    }
    const double parsed = secondHalf ? (number + 100.0) * 0.005 : number * 0.005;
    value = clampToRange(static_cast<float>(parsed));
    return true;
}

}  // namespace tessel
