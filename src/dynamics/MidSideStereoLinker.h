#pragma once

#include <cstdint>

#include "engine/FloatParameterBus.h"
#include "engine/StereoLinkInfo.h"
#include "engine/wave/MultiProducer.h"
#include "support/Property.h"

namespace tessel {

/// Links a stereo band's two detection signals by one amount, normalised 0..1: from 0
/// (independent channels) to 0.5 (fully linked: both outputs equal) the channels blend into
/// their common part; from 0.5 to 1 the common part blends into mid-only or side-only
/// detection, as the link mode says. The magnitude operation blends absolute values (what the
/// compander detects on); the signal operation blends the signals themselves (what the user
/// hears when auditioning). It is also the link information the band's mid/side gain stage
/// reads. A constant amount of 0, 0.5 or 1 takes shortcuts that pass or share blocks. No
/// memory but the smoothed amount. Audio thread only; never allocates.
class MidSideStereoLinker : public wave::MultiProducer,
                            public PropertyOwner,
                            public StereoLinkInfo {
public:
    enum class LinkOperation : int32_t {
        kSignal = 0,     ///< linear combinations of the signals
        kMagnitude = 1,  ///< combinations of their absolute values
    };

    explicit MidSideStereoLinker(wave::Environment* environment);

    void setLeftInput(wave::Producer* input) noexcept { left_ = input; }
    void setRightInput(wave::Producer* input) noexcept { right_ = input; }
    Property<LinkOperation>& linkOperation() noexcept { return operation_; }
    /// Mid/side choice; the two cross modes detect like Mid (2) and Side (3).
    Property<StereoLinkMode>& linkMode() noexcept { return mode_; }
    /// The amount, 0..1 (0.5 fully linked), with its own ramp.
    FloatParameter& amount() noexcept { return amount_.parameter(); }

    // StereoLinkInfo
    wave::Producer* linkAmount() noexcept override { return amount_.source(); }
    StereoLinkMode stereoLinkMode() const noexcept override { return mode_.get(); }

    void process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty*) override {}

private:
    bool detectsSide() const noexcept {
        return mode_.get() == StereoLinkMode::kSide ||
               mode_.get() == StereoLinkMode::kSideDetectionMidProcessing;
    }
    /// The shortcuts for a constant amount of 0, 0.5 or 1; false for any other amount.
    bool constantShortcut(float amount, const float* l, const float* r,
                          wave::BasicBlock<float>** blocks, wave::BasicBlock<float>* left,
                          wave::BasicBlock<float>* right, int32_t frames) noexcept;

    wave::Producer* left_ = nullptr;
    wave::Producer* right_ = nullptr;
    Property<LinkOperation> operation_{this, LinkOperation::kMagnitude};
    Property<StereoLinkMode> mode_{this, StereoLinkMode::kMid};
    FloatParameterBus amount_;
};

}  // namespace tessel
