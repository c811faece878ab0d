#pragma once

#include <array>
#include <cstdint>

#include "bands/AnalogFilterPrototype.h"
#include "bands/BiquadCoefficients.h"
#include "bands/BiquadFilter.h"
#include "engine/FloatParameterBus.h"

namespace tessel {

/// A parametric equaliser band: one of the thirteen prototype shapes at slopes of 6 to 96 dB per
/// octave (up to 8 biquad sections), driven by three smoothed controls: frequency as an octave
/// value (log2 Hz, limited to 20), gain in dB (limited to +-30) and a Q control (0 = Q 0.7071).
/// Coefficients are redesigned in double precision only when a control moved: once for a steady
/// block, else at most every 4 samples (every 32 samples unless the frequency jumps by more than
/// 0.1 octave). Near 0 dB the gain shapes fade out by run weight instead of designing ever flatter
/// sections. When only the gain moves, the coefficients follow it every 4 samples by
/// interpolating (in dB) between two full designs 1 dB apart that bracket it, so a gain ramp costs
/// two designs per decibel travelled. The sections run in the state-variable kernel, whose states
/// survive coefficient jumps, so fast frequency moves cannot make the band ring up. Shape and
/// slope changes crossfade from the old cascade over 20 ms. Audio thread only; never allocates
/// after construction.
class EQFilter : public BiquadFilter {
public:
    // Scoped, with their names also reachable as EQFilter::k24DbPerOctave and so on.
    enum class Slope : int32_t {
        k6DbPerOctave = 0,
        k12DbPerOctave = 1,
        k18DbPerOctave = 2,
        k24DbPerOctave = 3,
        k30DbPerOctave = 4,
        k36DbPerOctave = 5,
        k48DbPerOctave = 6,
        k72DbPerOctave = 7,
        k96DbPerOctave = 8,
        kSteepest = 9,  ///< 96 dB/oct; elliptic 12th order on the low- and high-pass shapes
    };
    using enum Slope;

    /// 0: magnitude-matched sections (Butterworth designs), 1: prewarped bilinear transform,
    /// 2: as 1 with the band shapes' bandwidth prewarped too.
    enum class CoefficientCalculation : int32_t {
        kMatched = 0,
        kBilinear = 1,
        kBilinearPrewarpedQ = 2
    };
    using enum CoefficientCalculation;
    using Shape = AnalogFilterPrototype::Shape;

    static constexpr float kDefaultFrequencyOctaves = 10.0f;
    static constexpr float kMaxFrequencyOctaves = 20.0f;
    static constexpr float kMaxGainDb = 30.0f;

    explicit EQFilter(wave::Environment* environment);

    LimitedProperty<Shape>& shape() noexcept { return shape_; }
    LimitedProperty<Slope>& slope() noexcept { return slope_; }
    LimitedProperty<CoefficientCalculation>& coefficientCalculation() noexcept {
        return calculation_;
    }
    void setShape(Shape shape) { shape_ = shape; }
    void setSlope(Slope slope) { slope_ = slope; }
    void setCoefficientCalculation(CoefficientCalculation c) { calculation_ = c; }

    /// Smoothed controls; values go in through them (`assign`, `parameter().setValue`).
    FloatParameterBus& frequencyOctaves() noexcept { return frequency_; }
    FloatParameterBus& gainDb() noexcept { return gain_; }
    FloatParameterBus& q() noexcept { return q_; }

    void propertyChanged(AbstractProperty* property) override;

    /// Prototype order of a shape and slope (band shapes: the even filter order).
    static int32_t orderFor(Shape shape, Slope slope) noexcept;
    /// Biquad sections the design of a shape and slope needs.
    static int32_t sectionCountFor(Shape shape, Slope slope) noexcept;
    /// Prototype Q for the Q control (0 gives 0.70711).
    static double prototypeQ(double qControl) noexcept;
    /// Wet weight of a gain shape at gainDb: fades out below 0.05 dB.
    static float runWeight(double gainDb) noexcept;

    /// The prototype of the latest full design (for drawing the response). While only the gain
    /// moves it holds the upper design of the current bracket.
    const AnalogFilterPrototype& prototype() const noexcept { return prototype_; }
    /// Number of designs so far (each redesign of the coefficients counts once).
    int64_t designCount() const noexcept { return designCount_; }
    /// The direct-form cascade in use (sectionCountFor(shape, slope) sections; identity beyond).
    const BiquadCoefficients* coefficients() const noexcept { return cascade_.data(); }

protected:
    void refreshCoefficients(int32_t frames) noexcept override;

private:
    /// Full design at the controls' values; drops the gain bracket.
    void design(float frequencyOctaves, float gainDb, float qControl) noexcept;
    /// Designs the cascade for the last frequency and Q at an already limited gain in dB.
    void designCascade(double frequencyOctaves, double gainDb, double qControl,
                       BiquadCoefficients* cascade) noexcept;
    /// Gain-only update: interpolates between the bracket designs, re-bracketing when needed.
    void followGain(float gainDb) noexcept;
    /// Converts cascade_ into kernelCascade_.
    void updateKernelCascade() noexcept;

    LimitedProperty<Shape> shape_;
    LimitedProperty<Slope> slope_;
    LimitedProperty<CoefficientCalculation> calculation_;
    FloatParameterBus frequency_;
    FloatParameterBus gain_;
    FloatParameterBus q_;

    AnalogFilterPrototype prototype_;
    std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> cascade_{};
    // cascade_ in the state-variable layout, as the processor runs it.
    std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> kernelCascade_{};
    std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> bracketLow_{};
    std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> bracketHigh_{};
    double bracketLowDb_ = 0.0;
    double bracketHighDb_ = 0.0;
    bool bracketValid_ = false;
    float lastFrequency_ = kDefaultFrequencyOctaves;
    float lastGain_ = 0.0f;
    float lastQ_ = 1.0f;
    float weight_ = 1.0f;
    float designedSampleRate_ = 0.0f;
    bool designNow_ = true;
    int64_t designCount_ = 0;
};

}  // namespace tessel
