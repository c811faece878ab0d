#include "dynamics/SideChainFilter.h"

#include <algorithm>
#include <cmath>

namespace tessel {

SideChainFilter::SideChainFilter(wave::Environment* environment)
    : wave::Filter(environment, false),
      enabled_(this, true),
      lowPassEnabled_(this, true),
      highFrequency_(this, static_cast<float>(kOctave30kHz)),
      lowPassSlope_(this, EQFilter::k6DbPerOctave, EQFilter::kSteepest, EQFilter::k24DbPerOctave),
      highPassEnabled_(this, true),
      lowFrequency_(this, static_cast<float>(kOctave30Hz)),
      highPassSlope_(this, EQFilter::k6DbPerOctave, EQFilter::kSteepest, EQFilter::k24DbPerOctave),
      automaticCompensation_(this, true),
      middleEnabled_(this, true),
      middleFrequency_(this, 9.965784f),  // 1 kHz
      middleGain_(this, 0.0f),
      middleQ_(this, 1.0f),
      middleShape_(this, AnalogFilterPrototype::kLowPass, AnalogFilterPrototype::kComposite,
                   AnalogFilterPrototype::kBandGain),
      forwarder_(environment, inputSlot()),
      highPass_(environment),
      middle_(environment),
      lowPass_(environment) {
    highPass_.setShape(AnalogFilterPrototype::kHighPass);
    highPass_.setInput(&forwarder_);
    middle_.setShape(AnalogFilterPrototype::kBandGain);
    middle_.setInput(&highPass_);
    lowPass_.setShape(AnalogFilterPrototype::kLowPass);
    lowPass_.setInput(&middle_);
    update();
}

void SideChainFilter::setOffLimits(float lowOctaves, float highOctaves) {
    if (lowOctaves == lowOffLimit_ && highOctaves == highOffLimit_) return;
    lowOffLimit_ = lowOctaves;
    highOffLimit_ = highOctaves;
    update();
}

float SideChainFilter::compensationGainDb(float lowOctaves, float highOctaves,
                                          EQFilter::Slope highPassSlope,
                                          EQFilter::Slope lowPassSlope) noexcept {
    float widthOctaves = highOctaves - lowOctaves;
    if (!(widthOctaves > 0.0f)) widthOctaves = 0.0f;  // negative width and NaN count as none
    if (highPassSlope == EQFilter::k6DbPerOctave || lowPassSlope == EQFilter::k6DbPerOctave)
        widthOctaves = std::sqrt(widthOctaves);
    const float shortfall = std::max(2.0f - widthOctaves, 0.0f);
    return shortfall * shortfall * 6.25f;
}

float SideChainFilter::compensationDb() const noexcept {
    if (!enabled_.get() || !lowPassEnabled_.get() || !highPassEnabled_.get()) return 0.0f;
    return compensationGainDb(lowFrequency_.get(), highFrequency_.get(), highPassSlope_.get(),
                              lowPassSlope_.get());
}

SideChainFilter::Selection SideChainFilter::select(const BandSettings& settings) noexcept {
    Selection s;
    const bool external = settings.input == GenericPluginBase::InputSignal::kExternalInput;
    const bool free = settings.filtering == SideChainFiltering::kFree;
    s.detectSideChain = settings.expertMode && (free || external);
    s.externalInput = external;
    const bool followBand = !free && external;
    s.lowOctaves = followBand ? settings.bandLowOctaves : settings.freeLowOctaves;
    s.highOctaves = followBand ? settings.bandHighOctaves : settings.freeHighOctaves;
    return s;
}

float SideChainFilter::auditionGain(SideChainFiltering filtering) const noexcept {
    if (filtering != SideChainFiltering::kFree) return 1.0f;
    return std::pow(10.0f, -compensationDb() / 20.0f);
}

bool SideChainFilter::atOffLimit(float frequencyOctaves, float limitOctaves) const noexcept {
    const bool limitsSet = lowOffLimit_ != 0.0f || highOffLimit_ != 0.0f;
    return limitsSet && std::fabs(frequencyOctaves - limitOctaves) <= kOffLimitTolerance;
}

void SideChainFilter::propertyChanged(AbstractProperty*) {
    update();
}

void SideChainFilter::update() {
    const bool on = enabled_.get();
    highPass_.frequencyOctaves().assign(lowFrequency_.get());
    highPass_.setSlope(highPassSlope_.get());
    highPass_.enabled() =
        on && highPassEnabled_.get() && !atOffLimit(lowFrequency_.get(), lowOffLimit_);

    lowPass_.frequencyOctaves().assign(highFrequency_.get());
    lowPass_.setSlope(lowPassSlope_.get());
    lowPass_.enabled() =
        on && lowPassEnabled_.get() && !atOffLimit(highFrequency_.get(), highOffLimit_);

    if (!automaticCompensation_.get()) {
        middle_.enabled() = on && middleEnabled_.get();
        middle_.frequencyOctaves().assign(middleFrequency_.get());
        middle_.gainDb().assign(middleGain_.get());
        middle_.q().assign(middleQ_.get());
        middle_.setShape(middleShape_.get());
        return;
    }
    // The bell sits at the pass band's geometric centre; the narrower the band, the higher and
    // broader the boost (Q control grows with the square of the gain).
    const float gainDb = compensationDb();
    middle_.enabled() = on;
    middle_.setShape(AnalogFilterPrototype::kBandGain);
    middle_.frequencyOctaves().assign((lowFrequency_.get() + highFrequency_.get()) * 0.5f);
    middle_.gainDb().assign(gainDb);
    middle_.q().assign(std::max(gainDb * gainDb * 0.024f, 0.025f));
}

void SideChainFilter::filter(wave::BasicBlock<float>*, wave::BasicBlock<float>*, int32_t frames,
                             int32_t) noexcept {
    setOutputBlock(lowPass_.pull(frames));
    markComputed();
}

}  // namespace tessel
