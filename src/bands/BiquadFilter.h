#pragma once

#include <cstdint>

#include "bands/BiquadCoefficients.h"
#include "bands/BiquadProcessor.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Filter.h"
#include "support/Property.h"

namespace tessel {

/// A signal-graph node that runs a cascade of biquads (a BiquadProcessor) on its input. Each
/// cycle a subclass hook pushes the block's coefficient runs, then the processor filters the block;
/// fully disabled, the node passes its input block on without copying. The `enabled` property
/// crossfades over 20 ms once blocks run (before the first block it switches at once). Two filters
/// can be linked: kind 1 makes the partner follow this one's coefficients, kind 2 filters both
/// channels in one pass (the partner's output is written when this node computes). A subclass about
/// to restructure its cascade (other sections, another shape) calls beginCrossfade: the old filter
/// keeps running on a second processor with its last coefficients while the output fades over to
/// the new one, which starts from silence, in 20 ms. Properties are set and blocks run on the audio
/// thread; only construction allocates.
class BiquadFilter : public wave::Filter, public PropertyOwner {
public:
    static constexpr int32_t kDefaultMaxRuns = 64;

    BiquadFilter(wave::Environment* environment, int32_t sectionCount,
                 int32_t maxRuns = kDefaultMaxRuns);
    ~BiquadFilter() override;

    /// On by default; switching crossfades between filtered and unfiltered input.
    Property<bool>& enabled() noexcept { return enabled_; }
    BiquadProcessor& processor() noexcept { return processor_; }
    const BiquadProcessor& processor() const noexcept { return processor_; }

    /// Fixed coefficients for a node without a design of its own (sectionCount() sets); they
    /// apply from the next block on. [audio thread]
    void setCoefficients(const BiquadCoefficients* cascade, float weight = 1.0f) noexcept;

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;

    /// Clears the filter state before the next block (a linked partner's too) and ends any
    /// crossfade.
    void reset() override;
    /// True while the output still fades over from the filter before the last restructuring.
    bool crossfading() const noexcept { return fadeLeft_ > 0; }

    static constexpr double kCrossfadeSeconds = 0.02;
    /// Refreshes coefficients through the hook and filters one block.
    virtual void processBlock(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out,
                              int32_t frames) noexcept;
    /// Makes this node lead partner (kind kFollow or kStereoPair); earlier links are dissolved.
    virtual void link(BiquadFilter* partner, BiquadProcessor::LinkKind kind) noexcept;
    /// Dissolves this node's link from either side and restarts both enable ramps.
    virtual void unlink() noexcept;

    BiquadFilter* partner() const noexcept { return partner_; }
    BiquadFilter* leader() const noexcept { return leader_; }

protected:
    /// Pushes this block's coefficient runs to the processor; not called on a linked follower,
    /// whose runs come from its leader. Without a push the last coefficients apply.
    virtual void refreshCoefficients(int32_t frames) noexcept { (void)frames; }
    /// True when this node's coefficients come from a leader.
    bool following() const noexcept { return leader_ != nullptr; }
    /// Call before changing the section count or the kind of filter while audio runs: the
    /// current filter fades out over kCrossfadeSeconds instead of being cut off. Ignored before
    /// the first block after construction or a reset, while disabled, while a fade is already
    /// running (that fade continues), and for a stereo pair's filters, which switch at once.
    void beginCrossfade() noexcept;

private:
    /// Blends the fading filter's output into this block's.
    void crossfade(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out,
                   int32_t frames) noexcept;

    BiquadProcessor processor_;
    // The filter before the last restructuring, while it fades out.
    BiquadProcessor outgoing_;
    wave::BasicBlock<float> outgoingBlock_;
    int32_t fadeLeft_ = 0;
    int32_t fadeLength_ = 0;
    bool running_ = false;  // a block has run since construction or the last reset
    Property<bool> enabled_;
    BiquadFilter* partner_ = nullptr;
    BiquadFilter* leader_ = nullptr;
    BiquadProcessor::LinkKind linkKind_ = BiquadProcessor::LinkKind::kNone;
};

}  // namespace tessel
