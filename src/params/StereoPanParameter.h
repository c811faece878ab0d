#pragma once

#include <string>

#include "params/FloatPluginParameter.h"

namespace tessel {

/// A pan control, value -1..+1: panning attenuates one channel by 20 log10(1 - |p|) dB (the
/// right one for p < 0, the left one for p > 0) and leaves the other at 0 dB. The text names
/// both channels with their attenuation ("Left: 0 dB / Right: -6.02 dB"); the channels are
/// Left/Right for stereo and Mid/Side otherwise. A typed plain number (-1..1) sets the
/// position. [main thread] for changes; the const operations may run on any thread.
class StereoPanParameter : public FloatPluginParameter {
public:
    StereoPanParameter(std::string name, GenericParameterOwner* owner);

    std::string textOfValue(float value) const override;

    bool stereoChannels() const noexcept { return stereoChannels_; }
    /// True (the initial mode) for Left/Right, false for Mid/Side.
    void setStereoChannels(bool stereo) noexcept { stereoChannels_ = stereo; }

private:
    bool stereoChannels_ = true;
};

}  // namespace tessel
