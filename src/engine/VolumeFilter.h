#pragma once

#include <cstdint>

#include "engine/FloatParameterBus.h"
#include "engine/wave/Filter.h"

namespace tessel {

/// A smoothed gain stage: out = in * g (* g2), g a smoothed linear gain limited to 0..maximum,
/// g2 an optional second gain producer multiplied in, and an optional mute condition asked each
/// cycle. Silence and unity cost nothing: a mute or a gain settled at 0 outputs the environment's
/// zero block without pulling the input; a gain settled at 1 (with no second gain, or a second
/// gain settled at 1) passes the input block itself on; constant blocks are multiplied once.
/// NaN and infinities in the input or second gain are multiplied through (inf * 0 gives NaN),
/// except that the zero-block and pass-through shortcuts drop or pass them unchanged.
/// Audio thread only; `process` never allocates, locks or throws.
class VolumeFilter : public wave::Filter {
public:
    /// Asked once per cycle whether the stage is muted. [audio thread]
    class MuteCondition {
    public:
        virtual ~MuteCondition() = default;
        virtual bool isMuted() const noexcept = 0;
    };

    /// Starts at gain initialGainLinear, limited to 0..max(initialGainLinear, 1).
    explicit VolumeFilter(wave::Environment* environment, float initialGainLinear = 1.0f);

    /// The smoothed gain: set values through it (`assign`, `parameter().setValue`).
    FloatParameterBus& gain() noexcept { return gain_; }
    /// Limits the gain to 0..maximumLinear (the target is clamped, a ramp stops).
    void setMaximumGain(float maximumLinear) noexcept;

    /// Optional second gain multiplied in; null for none.
    void setSecondGain(wave::Producer* secondGain) noexcept { secondGain_ = secondGain; }
    wave::Producer* secondGain() const noexcept { return secondGain_; }
    /// Optional mute condition; null for none. Not owned.
    void setMuteCondition(const MuteCondition* condition) noexcept { mute_ = condition; }
    const MuteCondition* muteCondition() const noexcept { return mute_; }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;

private:
    FloatParameterBus gain_;
    wave::Producer* secondGain_ = nullptr;
    const MuteCondition* mute_ = nullptr;
};

}  // namespace tessel
