#include "params/PluginParameterSet.h"

namespace tessel {

PluginParameterSet::PluginParameterSet(std::string name, GenericParameterOwner* owner)
    : name_(std::move(name)), owner_(owner) {}

int PluginParameterSet::registerParameter(AbstractPluginParameter& parameter) {
    parameters_.push_back(&parameter);
    if (owner_ != nullptr) return owner_->registerParameter(parameter);
    return static_cast<int>(parameters_.size()) - 1;
}

void PluginParameterSet::parameterValueChanged(int identifier, float value, int flag) {
    if (owner_ != nullptr) owner_->parameterValueChanged(identifier, value, flag);
}

void PluginParameterSet::resetToDefaults() {
    for (AbstractPluginParameter* parameter : parameters_)
        parameter->setValue(parameter->defaultValue(), 0);
}

}  // namespace tessel
