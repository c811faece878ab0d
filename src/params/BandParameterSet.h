#pragma once

#include <string>

#include "params/BandStateParameter.h"
#include "params/FloatPluginParameter.h"
#include "params/GenericPluginBase.h"
#include "params/IndexedPluginParameter.h"
#include "params/PluginParameterSet.h"
#include "params/RatioParameter.h"
#include "params/SlopeParameter.h"
#include "params/StereoLinkParameter.h"
#include "params/StereoPanParameter.h"
#include "params/TesselEnumerations.h"

namespace tessel {

/// The 22 parameters of one band, registered in this order (their identifiers follow it) and
/// named after the set: "Band 3 Threshold". The members are public because each one guards its
/// own range and cannot be replaced; the set only keeps Stereo Link's displayed mode in step
/// with Stereo Link Mode when that changes. The slopes follow no Processing Mode until told to
/// (TesselParameters does). Built once on the main thread; not copyable. [main thread]
class BandParameterSet : public PluginParameterSet {
public:
    /// bandNumber (1-based) appears in the help texts.
    BandParameterSet(std::string name, int bandNumber, GenericParameterOwner* owner);

    void parameterValueChanged(int identifier, float value, int flag) override;

    int bandNumber() const noexcept { return bandNumber_; }

    BandStateParameter state;
    FloatPluginParameter lowCrossover;  ///< log2 Hz
    SlopeParameter lowSlope;
    FloatPluginParameter highCrossover;  ///< log2 Hz
    SlopeParameter highSlope;
    IndexedPluginParameter<DynamicsMode> dynamicsMode;
    FloatPluginParameter threshold;  ///< 0..1, linear domain in dB
    FloatPluginParameter range;      ///< dB
    RatioParameter ratio;
    FloatPluginParameter attack;     ///< percent
    FloatPluginParameter release;    ///< percent
    FloatPluginParameter knee;       ///< dB
    FloatPluginParameter lookahead;  ///< ms
    FloatPluginParameter level;      ///< dB, linear domain is the gain
    StereoPanParameter pan;
    IndexedPluginParameter<SideChainFiltering> sideChainFiltering;
    FloatPluginParameter sideChainLowFrequency;   ///< log2 Hz
    FloatPluginParameter sideChainHighFrequency;  ///< log2 Hz
    IndexedPluginParameter<GenericPluginBase::InputSignal> sideChainInput;
    StereoLinkParameter stereoLink;
    IndexedPluginParameter<StereoLinkMode> stereoLinkMode;
    IndexedPluginParameter<SoloMuteState> soloMuteState;

    /// Parameters per band.
    static constexpr int kParameterCount = 22;

private:
    int bandNumber_;
};

}  // namespace tessel
