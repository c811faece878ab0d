#include "params/AbstractPluginParameter.h"

#include <algorithm>
#include <cmath>

#include "support/Tolerance.h"

namespace tessel {

AbstractPluginParameter::AbstractPluginParameter(std::string name, GenericParameterOwner* owner)
    : name_(std::move(name)), hostName_(name_), owner_(owner) {
    if (owner_ != nullptr) identifier_ = owner_->registerParameter(*this);
}

float AbstractPluginParameter::normalisedInSection(float value, int) const {
    return normalisedOfValue(value);
}

bool AbstractPluginParameter::valueFromText(std::string_view, float& value,
                                            std::string& failureReason) const {
    value = currentValue();
    failureReason = "This parameter does not accept typed values";
    return false;
}

bool AbstractPluginParameter::valueOfNormalisedInSection(float normalised, int,
                                                         float& value) const {
    value = valueOfNormalised(normalised);
    return true;
}

std::string AbstractPluginParameter::shortTextOfValue(float value,
                                                      std::size_t maxCharacters) const {
    std::string text = textOfValue(value);
    if (text.size() > maxCharacters) text.resize(maxCharacters);
    return text;
}

int AbstractPluginParameter::sectionBoundary(int) const {
    return -1;
}

float AbstractPluginParameter::scaledMove(float value, float oldReference,
                                          float newReference) const {
    const float lo = minimum();
    const float hi = maximum();
    const auto limit = [&](float v) {
        return std::isnan(v) ? currentValue() : std::clamp(v, lo, hi);
    };
    value = limit(value);
    const float displayOld = displayOfValue(limit(oldReference));
    float moved;
    if (std::fabs(displayOld) <= kFloatTolerance) {
        moved = value + (limit(newReference) - limit(oldReference));
    } else {
        const double ratio = static_cast<double>(displayOfValue(limit(newReference))) / displayOld;
        moved = valueFromDisplay(static_cast<float>(displayOfValue(value) * ratio));
    }
    // A display map may not be defined everywhere (a logarithm of a negative product): keep the
    // value where it was rather than let a NaN through.
    return std::isfinite(moved) ? limit(moved) : value;
}

void AbstractPluginParameter::notifyOwner(float value, int flag) const {
    if (owner_ != nullptr) owner_->parameterValueChanged(identifier_, value, flag);
}

}  // namespace tessel
