#pragma once

#include <cstdint>

#include "engine/FloatParameter.h"
#include "engine/wave/Producer.h"
#include "support/ValueAssignable.h"

namespace tessel {

/// A smoothed control as a node of the signal graph: its output is the control's value block.
/// A ramp keeps time over cycles in which nobody pulled the source, and a reset since the last
/// pull finishes a running ramp at once. Audio thread only; never allocates.
class FloatParameterSource : public wave::Source, public ValueAssignable<float> {
public:
    FloatParameterSource(wave::Environment* environment, float initialValue)
        : wave::Source(environment, false), parameter_(environment, initialValue) {}

    void assign(float value) override { parameter_.assign(value); }
    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;

    FloatParameter& parameter() noexcept { return parameter_; }
    const FloatParameter& parameter() const noexcept { return parameter_; }

private:
    FloatParameter parameter_;
};

}  // namespace tessel
