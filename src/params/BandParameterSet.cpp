#include "params/BandParameterSet.h"

#include "params/ParameterHelpTexts.h"
#include "params/ParameterTapers.h"
#include "params/ParameterUnits.h"

namespace tessel {

namespace {

// 30 Hz to 30 kHz in octaves (log2 Hz).
constexpr float kLowestFrequencyOctaves = 4.9068909f;
constexpr float kHighestFrequencyOctaves = 14.872674f;

void makeFrequency(FloatPluginParameter& parameter) {
    parameter.textFormat().setUnit(&ExpFreqParameterUnit::instance());
}

void makeLevelDb(FloatPluginParameter& parameter) {
    parameter.textFormat().setUnit(&DBParameterUnit::instance());
}

void makePercent(FloatPluginParameter& parameter) {
    parameter.textFormat().setUnit(&PercentParameterUnit::instance());
    parameter.textFormat().setNumberFormat("%.1f");
}

}  // namespace

BandParameterSet::BandParameterSet(std::string name, int bandNumber, GenericParameterOwner* owner)
    : PluginParameterSet(std::move(name), owner),
      state(this->name() + " State", this),
      lowCrossover(this->name() + " Low Crossover", this, kLowestFrequencyOctaves,
                   kHighestFrequencyOctaves, kLowestFrequencyOctaves),
      lowSlope(this->name() + " Low Slope", this),
      highCrossover(this->name() + " High Crossover", this, kLowestFrequencyOctaves,
                    kHighestFrequencyOctaves, kHighestFrequencyOctaves),
      highSlope(this->name() + " High Slope", this),
      dynamicsMode(this->name() + " Dynamics Mode", this, "Compression,Expansion"),
      threshold(this->name() + " Threshold", this, 0.0f, 1.0f, 0.7f),
      range(this->name() + " Range", this, -30.0f, 30.0f, 0.0f),
      ratio(this->name() + " Ratio", this, &dynamicsMode, &range),
      attack(this->name() + " Attack", this, 0.0f, 100.0f, 20.0f),
      release(this->name() + " Release", this, 0.0f, 100.0f, 20.0f),
      knee(this->name() + " Knee", this, 0.0f, 48.0f, 24.0f),
      lookahead(this->name() + " Lookahead", this, 0.0f, 20.0f, 1.0f),
      level(this->name() + " Level", this, -30.0f, 30.0f, 0.0f),
      pan(this->name() + " Pan", this),
      sideChainFiltering(this->name() + " Side Chain Filtering", this, "Band,Free"),
      sideChainLowFrequency(this->name() + " Side Chain Low Frequency", this,
                            kLowestFrequencyOctaves, kHighestFrequencyOctaves,
                            kLowestFrequencyOctaves),
      sideChainHighFrequency(this->name() + " Side Chain High Frequency", this,
                             kLowestFrequencyOctaves, kHighestFrequencyOctaves,
                             kHighestFrequencyOctaves),
      sideChainInput(this->name() + " Side Chain Input", this, "Plug-in Input,External Input"),
      stereoLink(this->name() + " Stereo Link", this),
      stereoLinkMode(this->name() + " Stereo Link Mode", this, "Mid,Side"),
      soloMuteState(this->name() + " Solo/Mute State", this, "Normal,Solo,Mute,Solo (Mute)"),
      bandNumber_(bandNumber) {
    makeFrequency(lowCrossover);
    makeFrequency(highCrossover);
    makeFrequency(sideChainLowFrequency);
    makeFrequency(sideChainHighFrequency);

    threshold.textFormat().setValueMap(&thresholdTaper, &thresholdTaperInverse);
    threshold.textFormat().setLinearRange(-90.0f, 0.0f);
    makeLevelDb(threshold);
    makeLevelDb(range);

    makePercent(attack);
    makePercent(release);
    knee.textFormat().setUnit(&DBRangeParameterUnit::instance());
    lookahead.textFormat().setUnit(&MsParameterUnit::instance());

    level.textFormat().setValueMap(&levelDbToGain, &gainToLevelDb);
    level.textFormat().setDisplayMap(&gainToLevelDb, &levelDbToGain);
    makeLevelDb(level);

    const std::size_t prefixLength = this->name().size() + 1;
    for (AbstractPluginParameter* parameter : parameters())
        parameter->setHelpText(
            bandParameterHelpText(parameter->name().substr(prefixLength), bandNumber_));
}

void BandParameterSet::parameterValueChanged(int identifier, float value, int flag) {
    if (identifier == stereoLinkMode.identifier())
        stereoLink.setStereoLinkMode(stereoLinkMode.storedValue());
    PluginParameterSet::parameterValueChanged(identifier, value, flag);
}

}  // namespace tessel
