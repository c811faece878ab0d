#include "params/TesselParameters.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "params/ParameterHelpTexts.h"
#include "params/ParameterTapers.h"
#include "params/ParameterUnits.h"

namespace tessel {

namespace {

std::string auditionChoices() {
    std::string choices = "Off";
    for (int band = 1; band <= BandParameterSetArray::kBandCount; ++band)
        choices += ",Band " + std::to_string(band);
    return choices;
}

void makeGainLevel(FloatPluginParameter& parameter) {
    parameter.textFormat().setValueMap(&gainTaper, &gainTaperInverse);
    parameter.textFormat().setDisplayMap(&gainToLevelDb, &levelDbToGain);
    parameter.textFormat().setUnit(&DBParameterUnit::instance());
}

}  // namespace

TesselParameters::TesselParameters(GenericParameterOwner* owner)
    : ParameterRegistry(owner),
      BandParameterSetArray(static_cast<ParameterRegistry*>(this)),
      auditionSideChain("Audition Side Chain", this, auditionChoices()),
      mix("Mix", this, 0.0f, 2.0f, 1.0f),
      inputLevel("Input Level", this, -1.0f, 1.0f, 0.0f),
      inputPan("Input Pan", this),
      outputLevel("Output Level", this, -1.0f, 1.0f, 0.0f),
      outputPan("Output Pan", this),
      bypass("Bypass", this, "Not Bypassed,Bypassed"),
      processingMode("Processing Mode", this, "Linear Phase,Dynamic Phase,Minimum Phase",
                     static_cast<int>(ProcessingMode::kDynamicPhase)),
      oversampling("Oversampling", this, "Off,2x,4x"),
      lookaheadEnabled("Lookahead Enabled", this, "Off,On", 1),
      expertMode("Expert Mode", this, "Disabled,Enabled"),
      midiState("Midi State", this, "Enabled,Disabled"),
      displayRange("Display Range", this, "3 dB,6 dB,12 dB,30 dB",
                   static_cast<int>(DisplayRange::k12Db)),
      analyzer(static_cast<ParameterRegistry*>(this)) {
    mix.textFormat().setUnit(&PercentParameterUnit::instance());
    mix.textFormat().setPercentDisplayOfRange();
    mix.textFormat().setNumberFormat("*3f");
    makeGainLevel(inputLevel);
    makeGainLevel(outputLevel);

    // These three change the latency, which hosts cannot follow under automation.
    processingMode.setAutomatable(false);
    oversampling.setAutomatable(false);
    lookaheadEnabled.setAutomatable(false);

    AbstractPluginParameter* const globals[] = {
        &auditionSideChain, &mix,       &inputLevel,     &inputPan,     &outputLevel,
        &outputPan,         &bypass,    &processingMode, &oversampling, &lookaheadEnabled,
        &expertMode,        &midiState, &displayRange};
    for (AbstractPluginParameter* parameter : globals)
        parameter->setHelpText(parameterHelpText(parameter->name()));

    for (int i = 0; i < setCount(); ++i) {
        band(i).lowSlope.followProcessingMode(&processingMode);
        band(i).highSlope.followProcessingMode(&processingMode);
    }
}

}  // namespace tessel
