#include "params/ParameterRegistry.h"

namespace tessel {

ParameterRegistry::ParameterRegistry(GenericParameterOwner* owner)
    : ownCollection_(owner == nullptr ? std::make_unique<ParameterCollection>() : nullptr),
      owner_(owner != nullptr ? owner : ownCollection_.get()) {}

int ParameterRegistry::registerParameter(AbstractPluginParameter& parameter) {
    registered_.push_back(&parameter);
    return owner_->registerParameter(parameter);
}

void ParameterRegistry::parameterValueChanged(int identifier, float value, int flag) {
    owner_->parameterValueChanged(identifier, value, flag);
}

}  // namespace tessel
