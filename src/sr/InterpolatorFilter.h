#pragma once

#include "sr/InterpolatorFilterBase.h"

namespace tessel::sr {

/// The node that brings a host-rate signal up into the oversampled band processing, with an
/// interpolator made by the style. Lives in the style's sub-environment; its input is a node of
/// the host-rate environment.
class InterpolatorFilter final : public InterpolatorFilterBase {
public:
    InterpolatorFilter(wave::Environment* oversampledEnvironment, ConverterStyleBase* style)
        : InterpolatorFilterBase(oversampledEnvironment, style, style->createInterpolator()) {}
};

}  // namespace tessel::sr
