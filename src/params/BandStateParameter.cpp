#include "params/BandStateParameter.h"

#include <algorithm>

namespace tessel {

BandStateParameter::BandStateParameter(std::string name, GenericParameterOwner* owner)
    : IndexedPluginParameter<BandState>(std::move(name), owner, "Disabled,Enabled,Unused",
                                        static_cast<int>(BandState::kUnused)) {}

void BandStateParameter::notifyValueListeners(float value) {
    IndexedPluginParameter<BandState>::notifyValueListeners(value);
    const bool inUse = static_cast<BandState>(linearOfValue(value)) != BandState::kUnused;
    for (Property<bool>* property : inUseProperties_)
        property->assign(inUse);
}

void BandStateParameter::addInUseProperty(Property<bool>* property) {
    if (property != nullptr) inUseProperties_.push_back(property);
}

void BandStateParameter::removeInUseProperty(Property<bool>* property) {
    std::erase(inUseProperties_, property);
}

}  // namespace tessel
