#pragma once

#include <cstdint>

#include "bands/BiquadProcessor.h"
#include "bands/EQFilter.h"
#include "dynamics/Capacitor.h"
#include "dynamics/Detector.h"
#include "dynamics/PeakHold.h"
#include "engine/FloatParameterSource.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/StaticMixer.h"
#include "engine/wave/DelayFilter.h"
#include "engine/wave/Producer.h"
#include "params/TesselEnumerations.h"
#include "support/Property.h"

namespace tessel {

/// The gain computer of one band and one channel: turns the band's detection signal into the
/// linear gain factor the band applies to its audio. Everything between input and output works on
/// gain change in dB: detection delay (the lookahead), level in dB, the static curve, a peak hold
/// and a low-pass that smooth the curve's output, a slow and a fast envelope, and a final scale by
/// direction and mix; only the last step converts to a factor. "Above" (downward compression,
/// upward expansion) keeps the gain change as it is; "below" (downward expansion, upward
/// compression) runs the curve on a fixed 36 dB scale, inverted, so that the envelopes' attack is
/// always the move towards less gain change, and Range scales the result. The curve takes the
/// detection signal to dB itself, and in the "above" direction the two envelopes run in one pass
/// (their recursions overlap); the graph's nodes are the same either way.
/// A second channel's compander may be linked to the first channel's: while their delayed
/// detection blocks are bit-identical it hands out the first one's gain block without running its
/// own chain, and takes the first one's envelopes over when they diverge.
/// Faulty detection samples follow the level converter: NaN reads as silence (-180 dB), an
/// infinity as a level far above any threshold; the gain stays finite either way.
/// Audio thread only: properties are set between blocks; `process` never allocates, locks or
/// throws. Construction allocates (each envelope takes the shared exponential table under its
/// process-wide lock).
class BandCompander : public wave::Producer, public PropertyOwner {
public:
    /// The band's Dynamics Mode: the stored values of the parameter of the same name.
    using DynamicsMode = tessel::DynamicsMode;

    /// Which side of the threshold the gain change happens on.
    enum class Direction : int32_t { kBelow = 0, kAbove = 1 };

    static constexpr float kMaximumLookaheadMs = 20.0f;
    /// Samples of the full lookahead at a rate: the delay the band audio waits while lookahead
    /// is on, and the longest detection delay. Any thread.
    static int32_t maximumLookaheadSamples(double sampleRateHz) noexcept {
        return static_cast<int32_t>(sampleRateHz * (kMaximumLookaheadMs * 0.001));
    }
    /// The fixed scale of the "below" direction: a 36 dB detector change becomes Range dB.
    static constexpr float kCeilingDb = 36.0f;

    explicit BandCompander(wave::Environment* environment);
    ~BandCompander() override;

    /// The band's detection signal (linear audio), read through the detection delay.
    void setInput(wave::Producer* detection) noexcept { delay_.setInput(detection); }
    wave::Producer* input() const noexcept { return delay_.input(); }

    /// Makes this compander the second channel of a band whose first channel is `first` (null
    /// unlinks); `first` must be in the same environment, outlive the link and not be linked
    /// itself. While the two see bit-identical delayed detection blocks and their settings and
    /// envelopes agree, this one outputs `first`'s gain block. The band links the two smoothing
    /// low-passes itself (`smoothingFilter`, kind kFollow, the first channel leading).
    void setLinkedCompander(BandCompander* first) noexcept;
    BandCompander* linkedCompander() const noexcept { return linked_; }
    /// True while the output is the linked compander's block (this chain idle).
    bool isSharing() const noexcept { return sharing_; }

    Property<float>& attackPercent() noexcept { return settings_.attackPercent; }
    Property<DynamicsMode>& dynamicsMode() noexcept { return settings_.dynamicsMode; }
    /// Upper edge of the band, octave value (log2 Hz), 0 .. 20.
    LimitedProperty<float>& highCrossoverOctaves() noexcept {
        return settings_.highCrossoverOctaves;
    }
    Property<float>& kneeDb() noexcept { return settings_.kneeDb; }
    Property<float>& lookaheadMs() noexcept { return settings_.lookaheadMs; }
    Property<bool>& lookaheadEnabled() noexcept { return settings_.lookaheadEnabled; }
    /// Lower edge of the band, octave value (log2 Hz), 0 .. 20.
    LimitedProperty<float>& lowCrossoverOctaves() noexcept { return settings_.lowCrossoverOctaves; }
    /// Scale of the gain change in dB, 0 .. 2 (the global Mix, 0 % .. 200 %).
    LimitedProperty<float>& mix() noexcept { return settings_.mix; }
    /// Largest gain change in dB; its sign and the mode choose the direction.
    Property<float>& rangeDb() noexcept { return settings_.rangeDb; }
    Property<float>& ratio() noexcept { return settings_.ratio; }
    Property<float>& releasePercent() noexcept { return settings_.releasePercent; }
    Property<float>& thresholdDb() noexcept { return settings_.thresholdDb; }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    /// After a sample-rate change (the environment calls it through its reset list): re-sizes the
    /// detection delay and recomputes every time setting. Allocates only when the rate changed.
    void reset() override;
    /// True when both envelopes rest at "no gain change".
    bool isSettled() const override;

    // Inspection, for the band, meters and tests.
    Direction direction() const noexcept { return direction_; }
    /// Samples by which the detector sees the audio late (the audio waits the full 20 ms).
    int32_t detectionDelaySamples() const noexcept { return delay_.delay(); }
    int32_t maximumDetectionDelaySamples() const noexcept { return delay_.maximumDelay(); }
    /// The lookahead the time settings were derived from, 0.1 .. 20 ms.
    float effectiveLookaheadMs() const noexcept { return effectiveLookaheadMs_; }
    const FloatParameter& directionScale() const noexcept { return directionScale_.parameter(); }
    const FloatParameter& releaseSeconds() const noexcept { return releaseSeconds_.parameter(); }
    const Detector& detector() const noexcept { return detector_; }
    PeakHold& peakHold() noexcept { return peakHold_; }
    EQFilter& smoothingFilter() noexcept { return smoothing_; }
    const Capacitor& slowEnvelope() const noexcept { return slow_; }
    const Capacitor& fastEnvelope() const noexcept { return fast_; }

    void propertyChanged(AbstractProperty* property) override;

private:
    /// Caps the smoothed gain change at the largest change the direction allows (the range
    /// above the threshold, the 36 dB scale below it). The smoothing low-pass rings on steps
    /// (about a fifth of the step), which would otherwise carry the change past Range for a
    /// moment; below the limit it passes its input through untouched.
    class ChangeLimit : public wave::Filter {
    public:
        explicit ChangeLimit(wave::Environment* environment) : wave::Filter(environment) {}
        void setLimitDb(float limitDb) noexcept { limitDb_ = limitDb; }
        float limitDb() const noexcept { return limitDb_; }
        void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                    int32_t mode) noexcept override;

    private:
        float limitDb_ = 180.0f;
    };

    /// One envelope's running state, as it stood at the start of a block.
    struct EnvelopeState {
        double value = 0.0;
        bool inRelease = false;
        bool resetPending = true;
    };

    static EnvelopeState stateOf(const Capacitor& envelope) noexcept;
    /// Threshold, direction (with the resets a change of direction needs) and the curve's scale.
    void updateDirection(bool initial);
    /// Attack and release curves, lookahead, detection delay, hold and smoothing frequency.
    void updateTimes();
    bool sameSettings(const BandCompander& other) const noexcept;
    /// True when this chain's envelopes stand within 0.01 dB of `other`'s at this block's start.
    bool envelopesMatch(const BandCompander& other) const noexcept;
    /// Continues from `other`'s envelopes and smoothing low-pass as they stood at this block's
    /// start, and restarts the hold window on `other`'s held value. Constant time: no pass over
    /// the window or the low-pass's settling time. `other` must have run this cycle.
    void takeOverFrom(const BandCompander& other) noexcept;
    void runChain(wave::BasicBlock<float>* block, int32_t frames) noexcept;

    // Every setting that shapes the gain, in one record: stereo sharing compares the records
    // whole, so a setting added here can never be left out of the comparison.
    struct Settings {
        explicit Settings(PropertyOwner* owner);
        bool operator==(const Settings&) const = default;

        Property<float> attackPercent;
        Property<DynamicsMode> dynamicsMode;
        LimitedProperty<float> highCrossoverOctaves;
        Property<float> kneeDb;
        Property<float> lookaheadMs;
        Property<bool> lookaheadEnabled;
        LimitedProperty<float> lowCrossoverOctaves;
        LimitedProperty<float> mix;
        Property<float> rangeDb;
        Property<float> ratio;
        Property<float> releasePercent;
        Property<float> thresholdDb;
    };
    Settings settings_{this};

    Direction direction_ = Direction::kAbove;
    BandCompander* linked_ = nullptr;
    // The second channel linked to this one (its linked_ is this), or null.
    BandCompander* twin_ = nullptr;
    bool sharing_ = false;
    float effectiveLookaheadMs_ = 0.1f;

    // Smoothed constants and controls.
    FloatParameterSource ceiling_;
    FloatParameterSource mixControl_;
    FloatParameterSource directionScale_;
    FloatParameterSource releaseSeconds_;

    // The chain, in signal order.
    wave::DelayFilter delay_;
    Detector detector_;  // takes the delayed detection signal to dB itself
    StaticMixer invertedCurve_;
    Router curveRouter_;
    PeakHold peakHold_;
    EQFilter smoothing_;
    ChangeLimit limit_;
    Capacitor slow_;
    Mixer envelopeMaximum_;
    Mixer releaseMixer_;
    Capacitor fast_;
    StaticMixer invertedEnvelope_;
    Router envelopeRouter_;

    // The envelopes and the smoothing low-pass as they stood when this chain's current block
    // began (the low-pass only while a twin shares this chain's result: that twin takes it over
    // when it leaves).
    EnvelopeState slowAtBlockStart_;
    EnvelopeState fastAtBlockStart_;
    BiquadProcessor smoothingAtBlockStart_;
};

}  // namespace tessel
