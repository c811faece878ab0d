#pragma once

#include <cstdint>
#include <vector>

#include "bands/BiquadCoefficients.h"

namespace tessel {

/// Runs a cascade of up to kMaxSections second-order sections on one channel, or on two channels
/// sharing one coefficient schedule (a linked pair). Coefficients arrive during a block as runs
/// (a coefficient set per section, a sample count and a wet weight); runs with equal values merge.
/// Coefficients that move every sample can instead be handed over as one set per sample.
/// Two kernels: direct form I with double state, and a trapezoidal state-variable form whose
/// high-, band- and low-pass signals carry over when coefficients jump, so that any sequence of
/// coefficient changes leaves the output bounded (the direct form can ring up by orders of
/// magnitude when a steep filter jumps). Float in and out, double state. A linear 20 ms enable ramp
/// crossfades between filtered and unfiltered signal; fully disabled, the processor leaves the
/// output untouched and the caller passes its input on. Only construction allocates (room for
/// maxRuns runs); everything else is [audio thread] and never allocates, locks or throws.
/// Non-finite input or coefficients spoil the output only while they last: a section whose state
/// is not finite at the end of a block is cleared, so the next finite block starts clean.
class BiquadProcessor {
public:
    static constexpr int32_t kMaxSections = 8;
    static constexpr double kEnableRampSeconds = 0.02;

    enum class Kernel : int32_t {
        kDirectForm1 = 0,  ///< coefficients are b0, b1, b2, a1, a2
        /// coefficients hold the values of stateVariableFromDirectForm; costs about as much as
        /// the direct form while coefficients stay, a little more per change
        kStateVariable = 1
    };

    /// What a priming reset (resuming after a disabled stretch) does to the state.
    enum class ResetMode : int32_t {
        kClear = 0,  ///< start from silence
        /// settled on the first input sample: every direct-form state value takes it; a
        /// state-variable section starts at rest on the DC level reaching it
        kPrimeFromInput = 1,
    };

    enum class LinkKind : int32_t {
        kNone = 0,
        kFollow = 1,      ///< the partner receives every run pushed to this processor
        kStereoPair = 2,  ///< runPair filters this processor's and the partner's channel at once
    };

    /// maxRuns bounds the runs one block may hold; a push into a full schedule replaces the last
    /// run's values and extends it (late, but no samples are lost).
    BiquadProcessor(int32_t sectionCount, int32_t maxRuns, float sampleRate);
    /// Unlinks from either side, so no partner keeps a dangling pointer.
    ~BiquadProcessor();

    BiquadProcessor(const BiquadProcessor&) = delete;
    BiquadProcessor& operator=(const BiquadProcessor&) = delete;

    /// Clamped to 1..kMaxSections; clears the state. Between blocks only.
    void setSectionCount(int32_t sectionCount);
    int32_t sectionCount() const noexcept { return sectionCount_; }
    /// Changes the ramp length; a ramp in progress continues at its old step.
    void setSampleRate(float sampleRate) noexcept;
    /// Switching kernels clears the state (the two keep different quantities).
    void setKernel(Kernel kernel) noexcept;
    Kernel kernel() const noexcept { return kernel_; }
    void setResetMode(ResetMode mode) noexcept { resetMode_ = mode; }
    ResetMode resetMode() const noexcept { return resetMode_; }

    /// Appends a run of `frames` samples using cascade[0..sectionCount). Merges with the last run
    /// when coefficients and weight are equal. Without any push in a block the last coefficients
    /// apply; the last run of a block extends to the block's end, runs beyond it are dropped.
    void pushCoefficients(int32_t frames, const BiquadCoefficients* cascade,
                          float weight = 1.0f) noexcept;

    /// Filters frames samples of input into output (distinct buffers), consuming the schedule.
    /// Returns false when fully disabled: output was not written, the input is the result.
    bool run(const float* input, float* output, int32_t frames) noexcept;
    /// Both channels of a kStereoPair link in one pass; channel 1 uses the partner's state.
    /// Without such a link it is run on channel 0 and leaves channel 1 alone.
    bool runPair(const float* input0, float* output0, const float* input1, float* output1,
                 int32_t frames) noexcept;

    /// Filters with one coefficient set per sample instead of the pushed schedule (which is
    /// dropped): sample i uses sets[i], each holding sectionCount() sections, of which only the
    /// first `sections` (clamped to 1..sectionCount()) run; the others are taken as pass-through
    /// and keep the state running them as such would have left. The last sample's set stays in
    /// force afterwards. For coefficients that move every sample without copying them into runs;
    /// the direct-form kernel only (the state-variable kernel gets one pushed run per sample).
    /// Same return value, enable ramp and resets as run.
    bool runPerSample(const BiquadCoefficients* const* sets, int32_t sections, const float* input,
                      float* output, int32_t frames) noexcept;
    /// runPerSample for both channels of a kStereoPair link, as runPair.
    bool runPairPerSample(const BiquadCoefficients* const* sets, int32_t sections,
                          const float* input0, float* output0, const float* input1, float* output1,
                          int32_t frames) noexcept;

    /// Coefficients handed over in place by runPoints: the block is cut into `points` runs of
    /// frames[p] samples (zero allowed, adding up to the block); in run p section k uses b0, b1, b2
    /// at numerators + p * numeratorStride + 3k and a1, a2 at denominators + p * denominatorStride
    /// + 2k (a stride of 0 keeps the values for the whole block).
    struct PointTables {
        const int32_t* frames = nullptr;
        int32_t points = 0;
        const double* numerators = nullptr;
        int32_t numeratorStride = 0;
        const double* denominators = nullptr;
        int32_t denominatorStride = 0;
    };
    /// Filters with coefficients that change at many points of a block (a gain that moves every
    /// sample), read from the caller's tables without copying runs; otherwise as runPerSample:
    /// only the first `sections` sections run, the last point's values stay in force afterwards,
    /// direct-form kernel only (the state-variable kernel gets one pushed run per point).
    bool runPoints(const PointTables& tables, int32_t sections, const float* input, float* output,
                   int32_t frames) noexcept;
    /// runPoints through this cascade and then `next` in one pass, on one channel: the two run side
    /// by side in the lanes of one register, `next` four samples behind. Both run `sections`
    /// sections (clamped to both counts), so the tables hold unit sections where one cascade has
    /// fewer. Only for two plain processors (direct form, fully enabled with no ramp, not feeding
    /// a kFollow partner, no priming reset pending): otherwise it does nothing and returns false,
    /// and the caller runs the two one after the other.
    bool runPointsThen(const PointTables& tables, BiquadProcessor& next,
                       const PointTables& nextTables, int32_t sections, const float* input,
                       float* output, int32_t frames) noexcept;
    /// runPoints for both channels of a kStereoPair link, as runPair.
    bool runPairPoints(const PointTables& tables, int32_t sections, const float* input0,
                       float* output0, const float* input1, float* output1,
                       int32_t frames) noexcept;

    /// Starts a linear ramp of the wet share to 1 or 0 (full travel 20 ms); the partner follows.
    void setEnabled(bool enabled) noexcept;
    /// Ends the enable ramp at its target at once (this processor and its linked partner).
    void finishEnableRamp() noexcept;
    bool enabled() const noexcept { return rampTarget_ > 0.5f; }
    /// Wet share now (0 disabled, 1 fully filtered).
    float wetGain() const noexcept { return rampGain_; }

    /// Clears every section state before the next block; the partner too.
    void reset() noexcept;

    /// Continues where `other` stands: its section count, kernel, last coefficients and weight,
    /// and section state. Links, schedule and enable ramp stay this processor's own (the
    /// schedule is emptied). For handing a running filter over to a second processor that fades
    /// it out. [audio thread]
    void continueFrom(const BiquadProcessor& other) noexcept;
    /// This processor leads; kind 1 forwards runs and enabling to partner, kind 2 filters it in
    /// runPair. Unlinks both sides from earlier links first.
    void link(BiquadProcessor* partner, LinkKind kind) noexcept;
    void unlink() noexcept;
    BiquadProcessor* partner() const noexcept { return partner_; }
    LinkKind linkKind() const noexcept { return linkKind_; }

    /// The state-variable values equal to a stable direct-form section, laid out in the five
    /// slots as b0 = g0 (integrator gain), b1 = g1 (damping plus g0), b2 = m0 (low-pass mix),
    /// a1 = m1 (band-pass mix), a2 = m2 (high-pass mix). Needs 1 + a1 + a2 > 0 and
    /// 1 - a1 + a2 > 0, which every stable section satisfies.
    static BiquadCoefficients stateVariableFromDirectForm(const BiquadCoefficients& c) noexcept;

    /// State of one section: direct form x1, x2, y1, y2; the state-variable kernel keeps the
    /// last sample's high-, band- and low-pass nodes in x1, x2, y1 and its integrator gain in
    /// y2.
    struct SectionState {
        double x1 = 0.0;
        double x2 = 0.0;
        double y1 = 0.0;
        double y2 = 0.0;
    };
    const SectionState& state(int32_t section) const noexcept { return state_[section]; }
    /// Replaces the first sectionCount() section states, for a caller that continues a signal
    /// which went around the cascade for a while (a pending reset is dropped). [audio thread]
    void setState(const SectionState* states) noexcept;

private:
    enum class PendingReset : int32_t { kNone = 0, kPrime = 1, kClear = 2 };

    bool fullyDisabled() const noexcept { return rampGain_ == 0.0f && rampLeft_ == 0; }
    /// cascade: the coefficients the block starts with (the state-variable kernel primes each
    /// section with the DC level its predecessors pass on).
    void applyPendingReset(float firstInput, const BiquadCoefficients* cascade) noexcept;
    /// Resets the kStereoPair partner before a pair block as this processor resets itself: its
    /// own reset mode with this processor's kernel, coefficients and section count.
    void applyPartnerReset(float firstInput, const BiquadCoefficients* cascade) noexcept;
    /// Ends a pair block: the partner's ramp stays level with this one, both schedules empty.
    void finishPairBlock() noexcept;
    /// Makes the runs cover exactly frames samples (an empty schedule repeats the last values).
    void normalizeSchedule(int32_t frames) noexcept;
    void filterChannel(const float* input, float* output) noexcept;
    void filterPair(const float* input0, float* output0, const float* input1,
                    float* output1) noexcept;
    /// Mixes wet and dry per run weight and ramp gain; advances the ramp when advanceRamp.
    void mix(const float* input, float* output, bool advanceRamp) noexcept;
    void finishBlock() noexcept;
    /// Makes the schedule one run of the last set of a per-sample block (for mix and finishBlock).
    void singleRunOf(const BiquadCoefficients* cascade, int32_t frames) noexcept;
    /// The state sections [sections, sectionCount_) would have after running as pass-through.
    void passThroughState(SectionState* state, int32_t sections, int32_t frames) const noexcept;
    void clearNonFiniteState() noexcept;
    const BiquadCoefficients* runCoefficients(int32_t run) const noexcept {
        return &runCoefficients_[static_cast<std::size_t>(run * kMaxSections)];
    }
    int32_t rampSamples() const noexcept;

    int32_t sectionCount_;
    int32_t maxRuns_;
    float sampleRate_;
    Kernel kernel_ = Kernel::kDirectForm1;
    ResetMode resetMode_ = ResetMode::kPrimeFromInput;

    // The schedule of the current block; when empty, current_ applies to the whole block.
    std::vector<BiquadCoefficients> runCoefficients_;
    std::vector<int32_t> runFrames_;
    std::vector<float> runWeights_;
    int32_t runCount_ = 0;
    BiquadCoefficients current_[kMaxSections];
    float currentWeight_ = 1.0f;

    SectionState state_[kMaxSections];
    PendingReset pendingReset_ = PendingReset::kNone;

    float rampGain_ = 1.0f;
    float rampTarget_ = 1.0f;
    float rampStep_ = 0.0f;
    int32_t rampLeft_ = 0;

    BiquadProcessor* partner_ = nullptr;
    BiquadProcessor* leader_ = nullptr;
    LinkKind linkKind_ = LinkKind::kNone;
};

}  // namespace tessel
