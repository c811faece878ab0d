#pragma once

#include "sr/DecimatorFilterBase.h"

namespace tessel::sr {

/// The node that brings the oversampled band processing back to the host rate, with a decimator
/// made by the style. Lives in the host-rate environment; its input is a node of the style's
/// sub-environment.
class DecimatorFilter final : public DecimatorFilterBase {
public:
    DecimatorFilter(wave::Environment* hostEnvironment, ConverterStyleBase* style)
        : DecimatorFilterBase(hostEnvironment, style, style->createDecimator()) {}
};

}  // namespace tessel::sr
