#pragma once

#include <string>
#include <vector>

#include "params/IndexedPluginParameter.h"
#include "params/TesselEnumerations.h"
#include "support/Property.h"

namespace tessel {

/// A band's State (Disabled, Enabled, Unused). Besides the usual listeners it keeps a list of
/// boolean properties, the band's "in use" flags that the editor and the engine register, set to
/// (state != Unused) whenever the listeners are notified; a property calls its owner only when
/// its value really changes. Properties are not owned and must be removed before they die.
/// [main thread]
class BandStateParameter : public IndexedPluginParameter<BandState> {
public:
    BandStateParameter(std::string name, GenericParameterOwner* owner);

    void notifyValueListeners(float value) override;

    void addInUseProperty(Property<bool>* property);
    void removeInUseProperty(Property<bool>* property);

private:
    std::vector<Property<bool>*> inUseProperties_;
};

}  // namespace tessel
