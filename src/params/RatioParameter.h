#pragma once

#include <string>

#include "params/FloatPluginParameter.h"
#include "params/IndexedPluginParameter.h"
#include "params/TesselEnumerations.h"

namespace tessel {

/// A band's compression or expansion ratio: value 0..1 shown as 1.00:1 to 100.00:1 through the
/// ratio taper (4:1 at 0.6, 10:1 at 0.9). Dragging several bands together moves ratios in a way
/// that keeps their curves in proportion: linearly in (ratio - 1) where a higher ratio acts more
/// strongly (compression with a non-negative Range, expansion with a negative one), and in
/// (1 - 1/ratio) otherwise, so no band ever crosses 1:1. The band's Dynamics Mode and Range are
/// read, not owned, and must outlive the parameter. [main thread]
class RatioParameter : public FloatPluginParameter {
public:
    /// dynamicsMode and rangeDb may be null (then the band counts as compressing with Range 0).
    RatioParameter(std::string name, GenericParameterOwner* owner,
                   const IndexedPluginParameter<DynamicsMode>* dynamicsMode,
                   const FloatPluginParameter* rangeDb);

    float scaledMove(float value, float oldReference, float newReference) const override;

private:
    const IndexedPluginParameter<DynamicsMode>* dynamicsMode_;
    const FloatPluginParameter* rangeDb_;
};

}  // namespace tessel
