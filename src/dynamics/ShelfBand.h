#pragma once

#include <cstdint>
#include <vector>

#include "bands/BiquadCoefficients.h"
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
/// the gain moves by more than 7.63e-6, and then for a whole batch of such gain points at once;
/// the cascades read one coefficient set per sample and run only the sections in use.
/// Unity gain passes the input block on, a band spanning both limits is one multiply, and a
/// second channel's stage with the same controls is filtered in one pass with its partner.
/// Properties and controls are set and blocks run on the audio thread; only construction
/// allocates.
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
    struct Section {
        int32_t order = 1;
        float weight = 0.0f;
        double shape = 0.0;
        int32_t denominator = 0;  // index into EdgeDesign::denominators
        int32_t gainSlot = 0;     // index into the batch's section gains (GainSlots)
        int32_t sameAs = -1;      // an earlier section with equal coefficients, or -1
    };
    /// One edge's design: the values it was made for and its sections.
    struct EdgeDesign {
        float frequencyOctaves = 0.0f;
        float slopeDbPerOctave = 0.0f;
        bool active = false;
        int32_t sectionCount = 0;
        Section sections[kSectionsPerEdge];
        // Distinct (order, shape) pairs: sections sharing one share the denominator's reciprocal.
        int32_t denominatorCount = 0;
        int32_t denominatorOrder[kSectionsPerEdge] = {};
        double denominatorShape[kSectionsPerEdge] = {};
        float corner = 1.0f;         // K0 = tan(w / 2)
        float delta = 0.0f;          // the row value d below 12 dB/oct, else 0
        float phi = 0.0f;            // d in the three-section and 30 dB/oct ranges, else 0
        float powerExponent = 1.0f;  // delta + 1 below 12 dB/oct, else 1
        float rootExponent = 0.5f;   // min(6 / slope, 0.5)
    };
    /// One edge's section coefficients for one gain point.
    struct EdgeSet {
        BiquadCoefficients section[kSectionsPerEdge];
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
    };
    /// The distinct section weights of both edges: one exponential per weight and point, the
    /// cutting edge takes its reciprocal.
    struct GainSlots {
        int32_t count = 0;
        float exponent[2 * kSectionsPerEdge] = {};  // 0.5 w ln(10) / 20, per dB
    };
    /// How computeBatch shortcuts the corner adjustment for the current design.
    enum class CornerMode : int32_t {
        kGeneral,            // a slope below 12 dB/oct: powers of sqrt(X g') and g'
        kUnitPower,          // both edges 12 dB/oct or steeper: the powers are sqrt(X g') and g'
        kUnitPowerSameRoot,  // and equal root exponents: one power serves both corners
    };
    /// This cycle's control blocks.
    struct Controls {
        const wave::BasicBlock<float>* weight;
        const wave::BasicBlock<float>* gain;
        const wave::BasicBlock<float>* lowerFrequency;
        const wave::BasicBlock<float>* upperFrequency;
        const wave::BasicBlock<float>* lowerSlope;
        const wave::BasicBlock<float>* upperSlope;
    };
    enum class Path : int32_t { kBypass, kUnity, kWholeSpectrum, kFilter };
    static constexpr int32_t kBatch = 64;

    Controls pullControls(int32_t frames) noexcept;
    Path choosePath(const Controls& c) const noexcept;
    bool sameControls(const Controls& mine, const ShelfBand& other, const Controls& theirs,
                      int32_t frames) const noexcept;
    /// Runs one of the shortcut paths for this stage alone.
    void runShortcut(Path path, const Controls& c, wave::BasicBlock<float>* in,
                     wave::BasicBlock<float>* out, int32_t frames) noexcept;
    /// Walks the block: designs, gain points and coefficient runs into both cascades.
    void schedule(const Controls& c, int32_t frames) noexcept;
    void design(const Controls& c, int32_t i) noexcept;
    void designEdge(EdgeDesign& edge, float frequencyOctaves, float slopeDbPerOctave,
                    bool active) const noexcept;
    /// Records the gain points of samples [from, from + n) and pushes their coefficients.
    void convertGainPoints(const float* gain, bool constantGain, int32_t from, int32_t n) noexcept;
    /// Section coefficients for the first `count` recorded points of the batch.
    void computeBatch(int32_t count) noexcept;
    /// The adjusted corners and point levels in dB of the batch, both edges active.
    template <CornerMode Mode>
    void adjustCorners(int32_t count) noexcept;
    /// One edge's section coefficients for the batch; sign -1 cuts (lower), +1 boosts (upper).
    void computeEdge(const EdgeDesign& edge, float sign, const float* corner, EdgeSet* out,
                     int32_t count) noexcept;
    /// Points the samples up to each of the batch's points at the sets in force before it.
    void pushBatch(int32_t count) noexcept;
    void finishSchedule(int32_t frames) noexcept;
    /// Sections an edge's sets run (the unit sections after them are skipped).
    static int32_t usedSections(const EdgeDesign& edge, bool upper) noexcept {
        return edge.active ? edge.sectionCount : (upper ? 1 : 0);
    }
    /// Filters one channel (or the linked pair) through the cascades into processed blocks.
    void runCascades(const float* in0, float* out0, const float* in1, float* out1,
                     int32_t frames) noexcept;
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
    // Whether each cascade ran in the last block: an edge coming back on starts from silence.
    bool lowerRan_ = false;

    // This block's gain points' sets, in order, and per sample the set in force (one set per
    // sample for the cascades). Samples before the block's first point use the carried sets,
    // the last sets of the block before.
    std::vector<EdgeSet> blockLower_;
    std::vector<EdgeSet> blockUpper_;
    std::vector<const BiquadCoefficients*> lowerSets_;
    std::vector<const BiquadCoefficients*> upperSets_;
    EdgeSet carriedLower_;
    EdgeSet carriedUpper_;
    const EdgeSet* pendingLower_ = &carriedLower_;  // in force since sample pendingStart_
    const EdgeSet* pendingUpper_ = &carriedUpper_;
    int32_t pendingStart_ = 0;
    int32_t blockPoints_ = 0;
    // The most sections either cascade runs in this block.
    int32_t lowerSections_ = 1;
    int32_t upperSections_ = 1;
    float lastPointGain_ = 0.0f;  // NaN: record a point at the next sample
    bool lowerActiveInBlock_ = false;

    // The batch of gain points being converted, structure of arrays for the vector loops.
    alignas(32) int32_t pointIndex_[kBatch];
    alignas(32) float pointGain_[kBatch];
    alignas(32) float pointDb_[kBatch];
    alignas(32) float lowerCorner_[kBatch];
    alignas(32) float upperCorner_[kBatch];
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
