#pragma once

#include <cstdint>

#include "bands/EQFilter.h"
#include "engine/wave/Filter.h"
#include "engine/wave/InputForwarder.h"
#include "params/GenericPluginBase.h"
#include "params/TesselEnumerations.h"
#include "support/Octave.h"
#include "support/Property.h"

namespace tessel {

/// Shapes the signal a band's detector listens to in Expert Mode: a high-pass at the low
/// frequency, a low-pass at the high frequency and, between them, a bell that makes up for the
/// level lost when the pass band is narrower than two octaves (automatic), or a free middle
/// filter. Frequencies are octave values (log2 Hz). A cut-off at its off-limit (30 Hz low, 30 kHz
/// high by default) switches that cut off, so the full range costs nothing. The output is the
/// low-pass's block, passed on without copying. Properties are set and blocks run on the audio
/// thread; frequency, gain and Q changes ramp inside the filters; only construction allocates.
class SideChainFilter : public wave::Filter, public PropertyOwner {
public:
    /// A cut-off within this distance (octaves) of its off-limit counts as at the limit.
    static constexpr float kOffLimitTolerance = 1.1920929e-7f;

    explicit SideChainFilter(wave::Environment* environment);

    Property<bool>& enabled() noexcept { return enabled_; }
    Property<bool>& lowPassEnabled() noexcept { return lowPassEnabled_; }
    Property<float>& highFrequencyOctaves() noexcept { return highFrequency_; }
    LimitedProperty<EQFilter::Slope>& lowPassSlope() noexcept { return lowPassSlope_; }
    Property<bool>& highPassEnabled() noexcept { return highPassEnabled_; }
    Property<float>& lowFrequencyOctaves() noexcept { return lowFrequency_; }
    LimitedProperty<EQFilter::Slope>& highPassSlope() noexcept { return highPassSlope_; }
    /// On: the middle filter is a bell at the pass band's centre whose gain makes up for a narrow
    /// pass band; off: the middle properties below apply.
    Property<bool>& automaticCompensation() noexcept { return automaticCompensation_; }
    Property<bool>& middleEnabled() noexcept { return middleEnabled_; }
    Property<float>& middleFrequencyOctaves() noexcept { return middleFrequency_; }
    Property<float>& middleGainDb() noexcept { return middleGain_; }
    Property<float>& middleQ() noexcept { return middleQ_; }
    LimitedProperty<EQFilter::Shape>& middleShape() noexcept { return middleShape_; }

    /// Cut-off values at which the high-pass (low) and the low-pass (high) switch off; both 0
    /// turns the rule off.
    void setOffLimits(float lowOctaves, float highOctaves);

    /// Boost (dB) that makes up for a pass band of lowOctaves..highOctaves: 25 dB for zero width,
    /// none from two octaves up. A 6 dB/octave slope on either side counts the width's square
    /// root, since its gentle skirt lets more of the neighbouring spectrum through.
    static float compensationGainDb(float lowOctaves, float highOctaves,
                                    EQFilter::Slope highPassSlope,
                                    EQFilter::Slope lowPassSlope) noexcept;
    /// compensationGainDb of the current cuts while the filter and both cuts are enabled, else 0.
    float compensationDb() const noexcept;

    /// A band's side-chain settings, as the band reads them from its parameters.
    struct BandSettings {
        bool expertMode = false;
        SideChainFiltering filtering = SideChainFiltering::kBand;
        GenericPluginBase::InputSignal input = GenericPluginBase::InputSignal::kPluginInput;
        float bandLowOctaves = 0.0f;   ///< the band's Low Crossover
        float bandHighOctaves = 0.0f;  ///< the band's High Crossover
        float freeLowOctaves = static_cast<float>(kOctave30Hz);
        float freeHighOctaves = static_cast<float>(kOctave30kHz);
    };
    /// What the band does with its settings: detect on the side-chain path or on its own signal,
    /// which input feeds the path, and where the filter's cuts go.
    struct Selection {
        bool detectSideChain = false;
        bool externalInput = false;
        float lowOctaves = 0.0f;
        float highOctaves = 0.0f;
    };
    static Selection select(const BandSettings& settings) noexcept;
    /// Linear gain of the band's audition node: with Free filtering it removes the make-up
    /// boost, so the user hears the side chain at its true level.
    float auditionGain(SideChainFiltering filtering) const noexcept;

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;

    EQFilter& highPass() noexcept { return highPass_; }
    EQFilter& middle() noexcept { return middle_; }
    EQFilter& lowPass() noexcept { return lowPass_; }

private:
    void update();
    bool atOffLimit(float frequencyOctaves, float limitOctaves) const noexcept;

    Property<bool> enabled_;
    Property<bool> lowPassEnabled_;
    Property<float> highFrequency_;
    LimitedProperty<EQFilter::Slope> lowPassSlope_;
    Property<bool> highPassEnabled_;
    Property<float> lowFrequency_;
    LimitedProperty<EQFilter::Slope> highPassSlope_;
    Property<bool> automaticCompensation_;
    Property<bool> middleEnabled_;
    Property<float> middleFrequency_;
    Property<float> middleGain_;
    Property<float> middleQ_;
    LimitedProperty<EQFilter::Shape> middleShape_;

    float lowOffLimit_ = static_cast<float>(kOctave30Hz);
    float highOffLimit_ = static_cast<float>(kOctave30kHz);

    wave::InputForwarder forwarder_;
    EQFilter highPass_;
    EQFilter middle_;
    EQFilter lowPass_;
};

}  // namespace tessel
