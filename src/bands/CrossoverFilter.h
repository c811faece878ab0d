#pragma once

#include <array>
#include <cstdint>

#include "bands/BiquadCoefficients.h"
#include "bands/BiquadFilter.h"
#include "engine/FloatParameterBus.h"
#include "engine/wave/Producer.h"
#include "support/Property.h"

namespace tessel {

/// One half of a Linkwitz-Riley crossover (low-pass or high-pass) or the all-pass that copies a
/// crossover's phase onto a branch that does not pass through it. Slopes of 12 to 48 dB/oct are
/// the square of a Butterworth filter of half the order; 6 dB/oct is a plain first-order pair.
/// The high-pass of 12 and 36 dB/oct is inverted, so that for every slope low-pass plus high-pass
/// equals the all-pass response of the same slope and frequency (identity at 6 dB/oct).
/// The frequency (octave value, log2 Hz, 0..15) comes as a smoothed control block, from the
/// filter's own control or from a shared source (a crossover's bus); coefficients follow it
/// with the refresh rule of the equaliser bands: once per steady block, otherwise on a 4-sample
/// grid, at most every 32 samples unless the frequency jumps by more than 0.1 octave.
/// The sections run in the state-variable kernel, whose states survive coefficient jumps: the
/// output stays bounded however fast the frequency moves (the direct form rings up to thousands of
/// times the input when a steep crossover jumps across the spectrum).
/// Changing slope or response while audio runs crossfades from the old filter to the new one
/// over 20 ms (see BiquadFilter). Audio thread only; never allocates after construction.
class CrossoverFilter : public BiquadFilter {
public:
    enum class Slope : int32_t {
        k6DbPerOctave = 0,
        k12DbPerOctave = 1,
        k24DbPerOctave = 2,
        k36DbPerOctave = 3,
        k48DbPerOctave = 4,
    };
    enum class Response : int32_t { kLowPass = 0, kHighPass = 1, kAllPass = 2 };

    static constexpr float kDefaultFrequencyOctaves = 10.0f;
    static constexpr float kMaxFrequencyOctaves = 15.0f;
    /// Butterworth sections of the largest design (order 4).
    static constexpr int32_t kMaxButterworthSections = 2;

    explicit CrossoverFilter(wave::Environment* environment, Response response = Response::kLowPass,
                             Slope slope = Slope::k24DbPerOctave);

    Property<Response>& response() noexcept { return response_; }
    Property<Slope>& slope() noexcept { return slope_; }
    const Property<Response>& response() const noexcept { return response_; }
    const Property<Slope>& slope() const noexcept { return slope_; }

    /// The filter's own frequency control (octave value); used unless a shared source is set.
    FloatParameterBus& frequencyOctaves() noexcept { return frequency_; }
    /// Reads the frequency from source instead (null: the own control again). The next block
    /// redesigns at once, so filters sharing a source stay in step.
    void setFrequencySource(wave::Producer* source) noexcept;
    wave::Producer* frequencySource() const noexcept { return frequencySource_; }

    /// Slope of a model slope in dB/oct: below 9 gives 6, below 18 gives 12, below 30 gives 24,
    /// below 42 gives 36, anything else 48.
    static Slope slopeForDbPerOctave(float dbPerOctave) noexcept;
    /// Filter order N of a slope (1, 2, 4, 6, 8).
    static int32_t orderOf(Slope slope) noexcept;

    /// Design state: filter order, whether the Butterworth part runs twice, whether the output is
    /// inverted, the Butterworth order and section count, and the processor's section count.
    int32_t order() const noexcept { return order_; }
    bool doubled() const noexcept { return doubled_; }
    bool inverted() const noexcept { return inverted_; }
    int32_t butterworthOrder() const noexcept { return butterworthOrder_; }
    int32_t butterworthSections() const noexcept { return butterworthSections_; }
    /// Q of Butterworth section k (first-order sections report 0).
    float sectionQ(int32_t k) const noexcept { return sectionQ_[static_cast<std::size_t>(k)]; }
    int32_t runningSections() const noexcept { return processor().sectionCount(); }

    /// The cascade of the latest design, runningSections() long.
    const BiquadCoefficients* coefficients() const noexcept { return cascade_.data(); }
    /// Frequency (octave value) of the latest design; -1 before the first.
    float designedFrequencyOctaves() const noexcept { return lastFrequency_; }
    /// Number of designs so far.
    int64_t designCount() const noexcept { return designCount_; }

    void propertyChanged(AbstractProperty* property) override;

protected:
    void refreshCoefficients(int32_t frames) noexcept override;

private:
    void updateDesignState() noexcept;
    /// Designs the direct-form cascade and its state-variable form.
    void design(float frequencyOctaves) noexcept;
    void designSections(float frequencyOctaves) noexcept;

    Property<Response> response_;
    Property<Slope> slope_;
    FloatParameterBus frequency_;
    wave::Producer* frequencySource_;

    int32_t order_ = 4;
    bool doubled_ = true;
    bool inverted_ = false;
    int32_t butterworthOrder_ = 2;
    int32_t butterworthSections_ = 1;
    std::array<int32_t, kMaxButterworthSections> sectionKind_{};  // 1 first order, 2 second
    std::array<float, kMaxButterworthSections> sectionQ_{};

    std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> cascade_{};
    // cascade_ in the state-variable layout, as the processor runs it.
    std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> kernelCascade_{};
    float lastFrequency_ = -1.0f;
    float designedSampleRate_ = 0.0f;
    int64_t designCount_ = 0;
};

}  // namespace tessel
