#pragma once

#include <cstdint>

#include "bands/BiquadProcessor.h"
#include "dynamics/ShelfSlopeTable.h"
#include "engine/FloatParameterBus.h"
#include "engine/FloatParameterSource.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Filter.h"
#include "support/Property.h"
#include "support/SharedResource.h"

namespace tessel {

/// One band of the dynamic-phase chain: applies the band's gain (a linear factor, 0.001..1000,
/// usually a compander's output that moves every sample) between a lower and an upper edge
/// frequency and unity outside, with the band's crossover slopes (6..48 dB/oct) at the edges.
/// Each edge is a cascade of up to four first- and second-order low shelves (lower edge cutting,
/// upper edge boosting by the same amount below its corner), so the chain only changes the
/// signal while a band's gain differs from 1. Edge designs (frequencies in octave values,
/// log2 Hz) are rebuilt only when a frequency or slope moves; section coefficients only where
/// the gain moves by more than 7.63e-6, a batch of such gain points at a time (while the corners
/// stay, only the numerators follow the gain), and the cascades read them in place.
/// Unity gain passes the input block on, a band spanning both limits is one multiply, an edge at
/// its limit has no sections (at the top, the band's gain is a multiply), and a second channel's
/// stage with the same controls is filtered in one pass with its partner. A cascade that pauses
/// (a shortcut, an edge at its limit) resumes from the signal that went around it, so leaving
/// a shortcut does not click. A NaN gain acts as the lowest gain, an infinite one as a limit; a
/// non-finite input spoils the output only while it lasts. Properties and controls are set and
/// blocks run on the audio thread; only construction allocates.
class ShelfBand : public wave::Filter, public PropertyOwner {
public:
    static constexpr int32_t kSectionsPerEdge = 4;
    /// A gain move smaller than this (about a 1/16-bit step) makes no new coefficients.
    static constexpr float kGainPointStep = 7.63e-6f;
    static constexpr float kMinimumGain = 0.001f;
    static constexpr float kMaximumGain = 1000.0f;
    static constexpr float kMinimumSlopeDbPerOctave = 6.0f;
    static constexpr float kMaximumSlopeDbPerOctave = 48.0f;

    explicit ShelfBand(wave::Environment* environment);
    ~ShelfBand() override;

    /// Switching fades the stage in or out over the enable weight's ramp (20 ms).
    Property<bool>& enabled() noexcept { return enabled_; }
    /// Octave values clamping both edge frequencies; an edge at its limit has no sections.
    Property<float>& upperFrequencyLimitOctaves() noexcept { return upperLimit_; }
    Property<float>& lowerFrequencyLimitOctaves() noexcept { return lowerLimit_; }

    /// The band's gain as a smoothed linear factor, used while no gain input is wired.
    FloatParameterBus& gain() noexcept { return gain_; }
    /// Reads the gain from `source` (a compander's output) instead; null returns to gain().
    void setGainInput(wave::Producer* source) noexcept { gainInput_ = source; }
    FloatParameterBus& lowerFrequencyOctaves() noexcept { return lowerFrequency_; }
    FloatParameterBus& upperFrequencyOctaves() noexcept { return upperFrequency_; }
    FloatParameterBus& lowerSlopeDbPerOctave() noexcept { return lowerSlope_; }
    FloatParameterBus& upperSlopeDbPerOctave() noexcept { return upperSlope_; }

    /// Called on the second channel's stage with the first channel's stage of the same band
    /// (null to dissolve). While both have the same gain, frequencies and slopes, the partner
    /// filters both channels through one coefficient schedule.
    void setPartner(ShelfBand* partner) noexcept;
    ShelfBand* partner() const noexcept { return partner_; }
    /// True when the last block of this stage ran as part of a stereo pair.
    bool sharedLastBlock() const noexcept { return sharedCycle_ == lastCycle(); }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;
    /// Clears both cascades and the design caches.
    void reset() override;

    /// Edge designs so far (a redesign of both edges counts once).
    int64_t designCount() const noexcept { return designCount_; }
    /// Gain points turned into section coefficients so far.
    int64_t gainPointCount() const noexcept { return gainPointCount_; }

private:
    static constexpr int32_t kBatch = 64;

    struct Section {
        int32_t order = 1;
        float weight = 0.0f;
        double shape = 0.0;
        int32_t denominator = 0;  // index of its (order, shape) pair among the edge's
        int32_t gainSlot = 0;     // index into the batch's section gains (GainSlots)
        int32_t sameAs = -1;      // an earlier section with equal coefficients, or -1
        // At the design's own corner, with g the section's gain factor: b0 = inverse + linear g +
        // square g^2, b1 = 2 (square g^2 - inverse), b2 = inverse - linear g + square g^2 (first
        // order: b0 = square g^2 + inverse, b1 = square g^2 - inverse).
        double inverse = 1.0, linear = 0.0, square = 0.0;
    };
    /// One edge's design: the values it was made for and its sections.
    struct EdgeDesign {
        float frequencyOctaves = 0.0f;
        float slopeDbPerOctave = 0.0f;
        bool active = false;
        int32_t sectionCount = 0;
        Section sections[kSectionsPerEdge];
        // Distinct (order, shape) pairs: sections sharing one share the denominator.
        int32_t denominatorCount = 0;
        int32_t denominatorOrder[kSectionsPerEdge] = {};
        double denominatorShape[kSectionsPerEdge] = {};
        double denominators[kSectionsPerEdge][2] = {};  // per section: a1, a2 at the corner
        float corner = 1.0f;                            // K0 = tan(w / 2)
        float delta = 0.0f;                             // the row value d below 12 dB/oct, else 0
        float phi = 0.0f;            // d in the three-section and 30 dB/oct ranges, else 0
        float powerExponent = 1.0f;  // delta + 1 below 12 dB/oct, else 1
        float rootExponent = 0.5f;   // min(6 / slope, 0.5)
    };
    /// One edge's coefficients for the points of a segment, read in place by the cascade: slot 0
    /// is the point in force where the segment starts (the last one of the segment before),
    /// slots 1..n the points recorded since. Denominators only while the corner moves.
    struct EdgeTables {
        double numerators[kBatch + 1][kSectionsPerEdge][3] = {};
        double denominators[kBatch + 1][kSectionsPerEdge][2] = {};
        bool moving = false;  // slot 0 has its own denominators (its corner had moved)
        // Sections from here on are unit sections in every slot (the cascades of both edges
        // run side by side, the one with fewer sections through unit ones).
        int32_t unitFrom = 0;
    };
    /// Values of the corner adjustment that depend on both edges' designs only.
    struct CornerRule {
        bool enabled = false;  // both edges active
        // X = gainTerm * g + constantTerm: the peak gain the overlapping edges leave for g.
        float gainTerm = 0.0f;
        float constantTerm = 0.0f;
        float meanCorner = 0.0f;    // Km
        float cutFloor = 0.0f;      // rho^2 / (rho^2 + 3)
        float boostCeiling = 0.0f;  // 1.5 smin / smax + 1
        float boostShare = 1.0f;    // (smin - 6) / 6 below 12 dB/oct, else 1
        float headroom = 1.25f;     // H
        float smallerDelta = 0.0f;
        // Gains in [untouchedLow, untouchedHigh] keep their value and the corners: no point of a
        // batch within it needs the adjustment.
        float untouchedLow = 0.0f;
        float untouchedHigh = 0.0f;
    };
    /// The distinct section weights of both edges: one exponential per weight and point (the
    /// cutting edge takes its reciprocal), except for a weight of 0 (gain 1) and for one within a
    /// hair of an earlier weight, whose gain corrects the earlier one's by a short series.
    struct GainSlots {
        int32_t count = 0;
        float exponent[2 * kSectionsPerEdge] = {};  // 0.5 w ln(10) / 20, per dB
        int32_t base[2 * kSectionsPerEdge] = {};    // itself: an exponential; -1: gain 1
    };
    /// How adjustCorners shortcuts the corner adjustment for the current design.
    enum class CornerMode : int32_t {
        kGeneral,            // a slope below 12 dB/oct: powers of sqrt(X g') and g'
        kUnitPower,          // both edges 12 dB/oct or steeper: the powers are sqrt(X g') and g'
        kUnitPowerSameRoot,  // and equal root exponents: one power serves both corners
    };
    /// This cycle's control blocks.
    struct Controls {
        const wave::BasicBlock<float>* weight = nullptr;
        const wave::BasicBlock<float>* gain = nullptr;  ///< null for a stage switched off
        const wave::BasicBlock<float>* lowerFrequency = nullptr;
        const wave::BasicBlock<float>* upperFrequency = nullptr;
        const wave::BasicBlock<float>* lowerSlope = nullptr;
        const wave::BasicBlock<float>* upperSlope = nullptr;
    };
    /// The channels a block filters: this stage's, and its follower's while the two share.
    struct Channels {
        int32_t count = 1;
        ShelfBand* stage[2] = {};
        const float* input[2] = {};
        float* processed[2] = {};
    };
    enum class Path : int32_t { kBypass, kUnity, kWholeSpectrum, kFilter };

    Controls pullControls(int32_t frames) noexcept;
    Path choosePath(const Controls& c) const noexcept;
    bool sameControls(const Controls& mine, const ShelfBand& other, const Controls& theirs,
                      int32_t frames) const noexcept;
    /// Runs one of the shortcut paths for this stage alone.
    void runShortcut(Path path, const Controls& c, wave::BasicBlock<float>* in,
                     wave::BasicBlock<float>* out, int32_t frames) noexcept;
    /// Walks the block: designs, gain points and their coefficients, and the cascades, one
    /// segment at a time.
    void schedule(const Controls& c, const Channels& io, int32_t frames) noexcept;
    void design(const Controls& c, int32_t i) noexcept;
    void designEdge(EdgeDesign& edge, float frequencyOctaves, float slopeDbPerOctave,
                    bool active) const noexcept;
    /// Records the gain points of samples [from, from + n).
    void convertGainPoints(const float* gain, bool constantGain, int32_t from, int32_t n,
                           const Channels& io) noexcept;
    /// Turns the recorded points into coefficients and filters the samples up to upTo.
    void flush(int32_t upTo, const Channels& io) noexcept;
    /// Section coefficients of the batch's `count` points, into slots 1..count; says per edge
    /// whether the corner moved.
    void computeBatch(int32_t count, bool& lowerMoving, bool& upperMoving) noexcept;
    /// The adjusted gains of the batch and each point's corner share t, both edges active;
    /// true when some point moves the corners.
    bool adjustGains(int32_t count) noexcept;
    /// The adjusted corners of the batch, for points with a corner share.
    template <CornerMode Mode>
    void adjustCorners(int32_t count) noexcept;
    /// One edge's section coefficients for the batch; sign -1 cuts (lower), +1 boosts (upper).
    /// corner: the points' corner values, or null while the edge stays at its design's corner.
    void computeEdge(const EdgeDesign& edge, float sign, const float* corner, EdgeTables& out,
                     int32_t count) noexcept;
    /// Makes sections [from, t.unitFrom) unit sections in every slot of t.
    static void clearSections(EdgeTables& t, int32_t from) noexcept;
    /// Filters the segment [segmentStart_, upTo) through both edges, slots 0..points.
    void runSegment(int32_t upTo, int32_t points, bool lowerMoving, bool upperMoving,
                    const Channels& io) noexcept;
    /// Input sample `index` of channel `channel` of the block, or of the block before (negative).
    float inputAt(const Channels& io, int32_t channel, int32_t index) const noexcept;
    /// Records the last two input samples, for an edge that resumes after a pause.
    void remember(const float* input, int32_t frames) noexcept;
    /// Forgets designs and the last gain point: the next block designs and records afresh.
    void invalidate() noexcept;
    void linkFollower(bool link) noexcept;

    SharedResource<ShelfSlopeTable> slopeTable_;
    Property<bool> enabled_;
    Property<float> upperLimit_;
    Property<float> lowerLimit_;
    FloatParameterSource enableWeight_;
    FloatParameterBus gain_;
    FloatParameterBus lowerFrequency_;
    FloatParameterBus upperFrequency_;
    FloatParameterBus lowerSlope_;
    FloatParameterBus upperSlope_;
    wave::Producer* gainInput_ = nullptr;

    BiquadProcessor lower_;
    BiquadProcessor upper_;
    wave::BasicBlock<float> lowerOut_;
    wave::BasicBlock<float> processed_;

    EdgeDesign lowerDesign_;
    EdgeDesign upperDesign_;
    CornerRule cornerRule_;
    CornerMode cornerMode_ = CornerMode::kGeneral;
    GainSlots gainSlots_;
    bool designValid_ = false;
    float designedSampleRate_ = 0.0f;
    // Whether each cascade's state follows the signal up to the segment start; one that paused
    // (a shortcut, or its edge at its limit) continues from the signal that went around it.
    bool lowerRan_ = false;
    bool upperRan_ = false;
    float history_[2] = {};   // the input's last two samples before the block: x[-1], x[-2]
    float plainGain_ = 1.0f;  // the gain a paused upper edge last applied as a whole

    // The segment being walked: slot 0 in force from segmentStart_, points_ points since.
    EdgeTables lowerTables_;
    EdgeTables upperTables_;
    int32_t slotFrames_[kBatch + 1] = {};
    float carriedGain_ = 1.0f;  // slot 0's gain
    int32_t points_ = 0;
    int32_t segmentStart_ = 0;
    float batchLow_ = 0.0f;  // the smallest and largest gain among the recorded points
    float batchHigh_ = 0.0f;
    float lastPointGain_ = 0.0f;  // NaN: record a point at the next sample

    // The batch of gain points being converted, structure of arrays for the vector loops.
    alignas(32) int32_t pointIndex_[kBatch];
    alignas(32) float pointGain_[kBatch];
    alignas(32) float pointDb_[kBatch];
    alignas(32) float pointLog_[kBatch];     // ln g'
    alignas(32) float cornerShare_[kBatch];  // t, 0 where the corners stay
    alignas(32) float peakGain_[kBatch];     // X g'
    alignas(32) float lowerCorner_[kBatch];
    alignas(32) float upperCorner_[kBatch];
    alignas(32) float cornerFactor_[kBatch];  // scratch: e^(G phi / 30), reciprocal estimates
    alignas(32) float sectionGain_[2 * kSectionsPerEdge][kBatch];  // boosting, per slot
    alignas(32) float sectionCut_[2 * kSectionsPerEdge][kBatch];   // their reciprocals
    alignas(32) double reciprocal_[kSectionsPerEdge][kBatch];

    ShelfBand* partner_ = nullptr;   // the leader this stage shares with
    ShelfBand* follower_ = nullptr;  // the stage that set this one as its partner
    bool linked_ = false;
    uint32_t sharedCycle_ = 0xFFFFFFFFu;

    int64_t designCount_ = 0;
    int64_t gainPointCount_ = 0;
};

}  // namespace tessel
