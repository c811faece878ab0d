#include "params/GenericPluginBase.h"

namespace tessel {

int GenericPluginBase::registerParameter(AbstractPluginParameter& parameter) {
    const int identifier = parameters_.registerParameter(parameter);
    // The parameter is still being constructed: only its name (set before registration) is read.
    nameMap_.emplace(parameter.name(), identifier);
    return identifier;
}

void GenericPluginBase::parameterValueChanged(int, float, int) {}

void GenericPluginBase::enterParameterName(std::string_view name, int identifier) {
    nameMap_.insert_or_assign(std::string(name), identifier);
}

AbstractPluginParameter* GenericPluginBase::parameterByName(std::string_view name) const noexcept {
    const auto it = nameMap_.find(name);
    return it != nameMap_.end() ? parameters_.parameter(it->second)
                                : parameters_.parameterNamed(name);
}

int GenericPluginBase::registerParameterSetName(std::string name) {
    setNames_.push_back(std::move(name));
    return static_cast<int>(setNames_.size()) - 1;
}

}  // namespace tessel
