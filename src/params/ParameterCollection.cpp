#include "params/ParameterCollection.h"

#include <algorithm>

namespace tessel {

int ParameterCollection::registerParameter(AbstractPluginParameter& parameter) {
    parameters_.push_back(&parameter);
    return static_cast<int>(parameters_.size()) - 1;
}

void ParameterCollection::parameterValueChanged(int identifier, float value, int flag) {
    if (observer_ != nullptr) observer_->parameterValueChanged(identifier, value, flag);
}

AbstractPluginParameter* ParameterCollection::parameter(int identifier) const noexcept {
    if (identifier < 0 || static_cast<std::size_t>(identifier) >= parameters_.size())
        return nullptr;
    return parameters_[static_cast<std::size_t>(identifier)];
}

AbstractPluginParameter* ParameterCollection::parameterNamed(std::string_view name) const noexcept {
    for (AbstractPluginParameter* parameter : parameters_)
        if (parameter->name() == name) return parameter;
    for (AbstractPluginParameter* parameter : parameters_)
        if (equalIgnoringCase(parameter->name(), name)) return parameter;
    return nullptr;
}

std::vector<float> ParameterCollection::values() const {
    std::vector<float> out;
    out.reserve(parameters_.size());
    for (const AbstractPluginParameter* parameter : parameters_)
        out.push_back(parameter->currentValue());
    return out;
}

void ParameterCollection::assignValues(std::span<const float> values) {
    const std::size_t count = std::min(values.size(), parameters_.size());
    for (std::size_t i = 0; i < count; ++i)
        parameters_[i]->setValue(values[i], 0);
}

}  // namespace tessel
