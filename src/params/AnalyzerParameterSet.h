#pragma once

#include "params/IndexedPluginParameter.h"
#include "params/PluginParameterSet.h"

namespace tessel {

/// The spectrum analyzer's six settings, all discrete, registered in this order. They change
/// only the editor's display, never the audio. Members are public for the same reason as in
/// BandParameterSet: each guards its own range. [main thread]
class AnalyzerParameterSet : public PluginParameterSet {
public:
    explicit AnalyzerParameterSet(GenericParameterOwner* owner);

    IndexedPluginParameter<int> analyzer;    ///< Off, Pre, Post, Pre+Post
    IndexedPluginParameter<int> resolution;  ///< Low .. Maximum
    IndexedPluginParameter<int> speed;       ///< Very Slow .. Very Fast
    IndexedPluginParameter<int> tilt;        ///< 0 to 6 dB/octave in 1.5 dB steps
    IndexedPluginParameter<bool> freeze;
    IndexedPluginParameter<bool> sideChain;
};

}  // namespace tessel
