#pragma once

#include <cstdint>

#include "engine/wave/BasicBlock.h"
#include "engine/wave/Component.h"
#include "support/ValueAssignable.h"

namespace tessel {

/// A smoothed control value: a target within [minimum, maximum] plus a linear ramp that turns
/// value changes into a per-sample control block. The ramp time is given by the caller (ms) or
/// chosen from the size of the change: 20 ms for a change of 30 % of the range or more, rising
/// towards 150 ms as the change gets smaller. A change jumps when the control has not been
/// running continuously (before its first block, after an environment reset, or after cycles in
/// which nobody consumed it). An optional wrap period makes the control circular, ramping the
/// shorter way round. Values are set and blocks read on the audio thread; never allocates after
/// construction. A NaN value is ignored; infinities are clamped to the limits.
class FloatParameter : public wave::Component, public ValueAssignable<float> {
public:
    /// The control block; resizing with the environment invalidates the filled samples.
    class ValueBlock final : public wave::BasicBlock<float> {
    public:
        ValueBlock(wave::Environment* environment, FloatParameter* owner)
            : wave::BasicBlock<float>(environment), owner_(owner) {}

    protected:
        void maxBlockSizeChanged() override {
            wave::BasicBlock<float>::maxBlockSizeChanged();
            owner_->filledCount_ = 0;
        }

    private:
        FloatParameter* owner_;
    };

    /// Starts at initialValue without a ramp, limited to [min(x, 0), max(x, 1)].
    FloatParameter(wave::Environment* environment, float initialValue);

    /// Sets a new target; timeMs < 0 chooses the ramp time automatically, 0 jumps.
    void setValue(float value, float timeMs) noexcept;
    void assign(float value) override { setValue(value, -1.0f); }

    /// The block for this cycle: the ramp's next frames samples, or the target as a constant block.
    wave::BasicBlock<float>* valueBlock(int32_t frames) noexcept;

    /// Changes the limits: the target is clamped to them and any ramp stops.
    void setLimits(float minimum, float maximum) noexcept;
    /// Period of a circular control (0 = not circular).
    void setWrapPeriod(float period) noexcept { wrapPeriod_ = period > 0.0f ? period : 0.0f; }
    /// Bounds of the automatic ramp time in milliseconds.
    void setAutomaticRampTimes(float minimumMs, float maximumMs) noexcept;

    /// Moves the ramp on by `samples` without producing them (cycles nobody consumed).
    void skip(int64_t samples) noexcept;
    /// Called by the node that consumes the control, once per cycle before `valueBlock`: a ramp
    /// keeps time over cycles in which the control was not consumed, a reset since its last use
    /// (or no use yet) finishes it at once, and the control counts as consumed up to the end of
    /// this cycle, so a change applied before the next cycle is continuous.
    void catchUp(int32_t frames) noexcept;
    /// Ends a running ramp at once: the next block holds the target.
    void finishRamp() noexcept;

    float target() const noexcept { return target_; }
    float minimum() const noexcept { return minimum_; }
    float maximum() const noexcept { return maximum_; }
    float wrapPeriod() const noexcept { return wrapPeriod_; }
    bool isRamping() const noexcept { return rampPosition_ < rampLength_; }
    int32_t rampLength() const noexcept { return rampLength_; }
    /// The value the next sample would take: the ramp's current value, or the target.
    float currentValue() const noexcept;
    int64_t lastPosition() const noexcept { return lastPosition_; }
    void setLastPosition(int64_t position) noexcept { lastPosition_ = position; }
    ValueBlock& block() noexcept { return block_; }

private:
    float wrapPeriod_ = 0.0f;
    float maximumRampMs_ = 150.0f;
    float minimumRampMs_ = 20.0f;
    ValueBlock block_;
    int32_t filledCount_ = 0;
    int32_t rampPosition_ = 0;
    int32_t rampLength_ = 0;
    float rampStart_ = 0.0f;
    float increment_ = 0.0f;
    float maximum_;
    float minimum_;
    float range_;
    int64_t lastPosition_ = 0;
    float target_;
};

}  // namespace tessel
