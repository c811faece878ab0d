#pragma once

#include <string_view>
#include <vector>

#include "params/AnalyzerParameterSet.h"
#include "params/BandParameterSetArray.h"
#include "params/FloatPluginParameter.h"
#include "params/GenericPluginBase.h"
#include "params/IndexedPluginParameter.h"
#include "params/ParameterRegistry.h"
#include "params/StereoPanParameter.h"
#include "params/TesselEnumerations.h"

namespace tessel {

/// Every parameter of one plug-in instance: the six band sets (identifiers 0..131), the global
/// parameters (132..144) and the analyzer set (145..150), registered with the owner in that
/// order. Without an owner the model keeps a collection of its own, so it can be built on its
/// own (tools, tests); identifiers then start at 0. The band slopes follow the global
/// Processing Mode. Built once, never rebuilt; not copyable. Changes [main thread]; the const
/// look-ups and conversions may run on any thread while nothing is being built.
class TesselParameters : private ParameterRegistry, public BandParameterSetArray {
public:
    static constexpr int kParameterCount = 151;

    explicit TesselParameters(GenericParameterOwner* owner = nullptr);

    /// All parameters in identifier order.
    const std::vector<AbstractPluginParameter*>& allParameters() const noexcept {
        return registeredParameters();
    }
    /// The collection that holds the parameters when the table stands alone (look-ups by
    /// identifier and name go through it); null when an owner holds them.
    using ParameterRegistry::ownCollection;

    IndexedPluginParameter<int> auditionSideChain;  ///< 0 Off, b for band b
    FloatPluginParameter mix;                       ///< 0..2, shown as 0..200 %
    FloatPluginParameter inputLevel;                ///< -1..1, linear domain is the gain
    StereoPanParameter inputPan;
    FloatPluginParameter outputLevel;  ///< -1..1, linear domain is the gain
    StereoPanParameter outputPan;
    IndexedPluginParameter<bool> bypass;
    IndexedPluginParameter<ProcessingMode> processingMode;
    IndexedPluginParameter<OversamplingMode> oversampling;
    IndexedPluginParameter<bool> lookaheadEnabled;
    IndexedPluginParameter<bool> expertMode;
    IndexedPluginParameter<GenericPluginBase::MidiState> midiState;
    IndexedPluginParameter<DisplayRange> displayRange;
    AnalyzerParameterSet analyzer;
};

}  // namespace tessel
