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

void ParameterCollection::assignValues(std::span<const float> values, int flag) {
    const std::size_t count = std::min(values.size(), parameters_.size());
    std::vector<ParameterAssignment> assignments;
    assignments.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        assignments.emplace_back(parameters_[i], values[i]);
    assignInDependencyOrder(assignments, flag);
}

void assignInDependencyOrder(std::span<const ParameterAssignment> assignments, int flag) {
    for (const auto& [parameter, value] : assignments)
        if (parameter->discrete()) parameter->setValue(parameter->defaultValue(), flag);
    for (const bool discrete : {false, true})
        for (const auto& [parameter, value] : assignments)
            if (parameter->discrete() == discrete) parameter->setValue(value, flag);
}

}  // namespace tessel
