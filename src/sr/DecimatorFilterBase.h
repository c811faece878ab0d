#pragma once

#include "sr/ConverterFilterBase.h"

namespace tessel::sr {

/// A converter node in the host-rate environment whose input lives in the oversampled
/// sub-environment: a cycle of n samples pulls n * factor input samples and converts them down.
class DecimatorFilterBase : public ConverterFilterBase {
public:
    using ConverterFilterBase::ConverterFilterBase;

protected:
    int32_t inputFrames(int32_t frames) const noexcept override { return frames * factor(); }
    int32_t hostFrames(int32_t frames) const noexcept override { return frames; }
};

}  // namespace tessel::sr
