#include "params/FloatPluginParameter.h"

#include <algorithm>
#include <cmath>

#include "support/Tolerance.h"

namespace tessel {

TypedPluginParameter<float>::TypedPluginParameter(std::string name, GenericParameterOwner* owner,
                                                  float minimum, float maximum, float defaultValue)
    : AbstractPluginParameter(std::move(name), owner), textFormat_(*this) {
    setRange(minimum, maximum);
    setDefaultValue(defaultValue);
    value_ = default_;
}

float TypedPluginParameter<float>::valueFromDisplay(float display) const {
    return clampToRange(textFormat_.valueFromDisplay(display));
}

float TypedPluginParameter<float>::valueFromLinear(float linear) const {
    return clampToRange(textFormat_.valueFromLinear(linear));
}

float TypedPluginParameter<float>::displayOfValue(float value) const {
    return textFormat_.display(clampToRange(value));
}

float TypedPluginParameter<float>::linearOfValue(float value) const {
    return textFormat_.linear(clampToRange(value));
}

float TypedPluginParameter<float>::normalisedOfValue(float value) const {
    const float span = maximum_ - minimum_;
    if (!(span > 0.0f)) return 0.0f;
    return (clampToRange(value) - minimum_) / span;
}

float TypedPluginParameter<float>::valueOfNormalised(float normalised) const {
    const float x = std::isnan(normalised) ? 0.0f : std::clamp(normalised, 0.0f, 1.0f);
    return clampToRange(minimum_ + (maximum_ - minimum_) * x);
}

bool TypedPluginParameter<float>::valueFromText(std::string_view text, float& value,
                                                std::string& failureReason) const {
    return textFormat_.parse(text, value, failureReason);
}

std::string TypedPluginParameter<float>::textOfValue(float value) const {
    return textFormat_.format(clampToRange(value));
}

void TypedPluginParameter<float>::setValue(float value, int flag) {
    if (std::isnan(value)) return;
    value = clampToRange(value);
    if (nearlyEqual(value, value_)) return;
    value_ = value;
    notifyOwner(value_, flag);
}

void TypedPluginParameter<float>::notifyValueListeners(float value) {
    const float valueLinear = linearOfValue(value);
    for (Listener* listener : valueListeners_)
        listener->linearValueChanged(valueLinear);
}

void TypedPluginParameter<float>::setRange(float minimum, float maximum) {
    if (!std::isfinite(minimum) || !std::isfinite(maximum)) return;
    minimum_ = std::min(minimum, maximum);
    maximum_ = std::max(minimum, maximum);
    default_ = clampToRange(default_);
    value_ = clampToRange(value_);
}

void TypedPluginParameter<float>::setDefaultValue(float defaultValue) {
    if (!std::isnan(defaultValue)) default_ = clampToRange(defaultValue);
}

void TypedPluginParameter<float>::addValueListener(Listener* listener) {
    if (listener != nullptr) valueListeners_.push_back(listener);
}

void TypedPluginParameter<float>::removeValueListener(Listener* listener) {
    std::erase(valueListeners_, listener);
}

float TypedPluginParameter<float>::clampToRange(float value) const noexcept {
    if (std::isnan(value)) return minimum_;
    return std::clamp(value, minimum_, maximum_);
}

}  // namespace tessel
