#pragma once

#include <cstdint>

#include "engine/wave/Producer.h"
#include "params/TesselEnumerations.h"

namespace tessel {

/// What a stereo band's gain stage needs to know about its detection linker: the link amount
/// (a control block, normalised 0..1, 0.5 = fully linked; above 0.5 the band moves into mid/side
/// processing) and which of mid and side the detection and the processing act on. The band's
/// `MidSideStereoLinker` implements it; `MidSideStereoProcessor` reads it once per cycle.
/// Audio thread only; neither operation may allocate, lock or throw.
class StereoLinkInfo {
public:
    /// Which signal is detected and which is processed in the mid/side regime (the band's
    /// Stereo Link Mode parameter's type).
    using StereoLinkMode = tessel::StereoLinkMode;

    virtual ~StereoLinkInfo() = default;

    /// The producer of the link amount block; consumers pull it by the pull rule. Never null.
    virtual wave::Producer* linkAmount() noexcept = 0;
    /// The current stereo link mode.
    virtual StereoLinkMode stereoLinkMode() const noexcept = 0;
};

}  // namespace tessel
