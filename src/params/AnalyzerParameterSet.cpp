#include "params/AnalyzerParameterSet.h"

#include "params/ParameterHelpTexts.h"

namespace tessel {

AnalyzerParameterSet::AnalyzerParameterSet(GenericParameterOwner* owner)
    : PluginParameterSet("Analyzer", owner),
      analyzer("Analyzer", this, "Off,Pre,Post,Pre+Post", 3),
      resolution("Analyzer Resolution", this, "Low,Medium,High,Maximum", 1),
      speed("Analyzer Speed", this, "Very Slow,Slow,Medium,Fast,Very Fast", 2),
      tilt("Analyzer Tilt", this, "0 dB/octave,1.5 dB/octave,3 dB/octave,4.5 dB/octave,6 dB/octave",
           3),
      freeze("Analyzer Freeze", this, "Off,On", 0),
      sideChain("Analyzer Side Chain", this, "Disabled,Enabled", 0) {
    for (AbstractPluginParameter* parameter : parameters())
        parameter->setHelpText(parameterHelpText(parameter->name()));
}

}  // namespace tessel
