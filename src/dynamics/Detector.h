#pragma once

#include <cstdint>

#include "engine/FloatParameter.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Filter.h"
#include "support/Property.h"

namespace tessel {

/// The static gain computer of a band: turns a detection level (dB) into the amount of gain
/// change (dB, 0 or positive) that the curve asks for, from threshold, ratio, a quadratic knee,
/// a range limit and a rounded approach to that limit (range knee). Purpose chooses whether the
/// change happens above the threshold (downward compression, upward expansion) or below it
/// (downward expansion, upward compression). A constant ratio of 1 costs nothing: the output is
/// the environment's zero block. A NaN level gives 0 (no change); an infinite overshoot gives the
/// full range (0 at ratio 1). Controls are smoothed FloatParameters, which ignore NaN.
/// Audio thread only; `filter` never allocates, locks or throws.
class Detector : public wave::Filter, public PropertyOwner {
public:
    /// The units of the input level and the output gain change; decibels is the only one used.
    enum class GainChangeDomain : int32_t { kDecibels = 1 };
    enum class KneeStyle : int32_t { kQuadratic = 0 };
    enum class Purpose : int32_t {
        kAboveThreshold = 0,  ///< downward compression, upward expansion
        kBelowThreshold = 1,  ///< downward expansion, upward compression
    };

    explicit Detector(wave::Environment* environment);

    Property<GainChangeDomain>& gainChangeDomain() noexcept { return gainChangeDomain_; }
    Property<KneeStyle>& kneeStyle() noexcept { return kneeStyle_; }
    Property<Purpose>& purpose() noexcept { return purpose_; }

    /// When set, the input is the detection signal itself and its level in dB is taken on the
    /// way in, exactly as DBConverter's gain to dB does (a node less in front of the curve). With
    /// steady controls, a block whose loudest sample (above) or quietest one (below) lies on the
    /// quiet side of the curve's start by 0.001 dB or more gives the zero block at the cost of
    /// one pass. Off by default: the input is a level in dB.
    void setLinearInput(bool linear) noexcept { linearInput_ = linear; }
    bool linearInput() const noexcept { return linearInput_; }

    /// Knee width, 0 .. 30 dB.
    FloatParameter& kneeDb() noexcept { return kneeDb_; }
    /// Width of the rounded approach to the range limit, 0 .. 30 dB.
    FloatParameter& rangeKneeDb() noexcept { return rangeKneeDb_; }
    /// Largest gain change, 0 .. 180 dB.
    FloatParameter& rangeDb() noexcept { return rangeDb_; }
    /// 1 .. 100; 100 is a limiter (the whole overshoot becomes gain change).
    FloatParameter& ratio() noexcept { return ratio_; }
    /// -180 .. 180 dB.
    FloatParameter& thresholdDb() noexcept { return thresholdDb_; }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty*) override {}

    /// The curve for one sample (the per-sample rule every block path follows).
    static float gainChangeDb(float levelDb, float thresholdDb, float ratio, float kneeDb,
                              float rangeDb, float rangeKneeDb, Purpose purpose) noexcept;

private:
    Property<GainChangeDomain> gainChangeDomain_;
    FloatParameter kneeDb_;
    FloatParameter rangeKneeDb_;
    FloatParameter rangeDb_;
    FloatParameter ratio_;
    FloatParameter thresholdDb_;
    Property<KneeStyle> kneeStyle_;
    Property<Purpose> purpose_;
    bool linearInput_ = false;
    wave::BasicBlock<float> levels_;  // a linear input's levels in dB
};

}  // namespace tessel
