#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "params/FloatPluginParameter.h"
#include "params/TesselEnumerations.h"

namespace tessel {

/// A band's Stereo Link knob, value 0..1 in two halves: 0..0.5 links the channels' detection
/// from independent (0%) to fully linked (100%); 0.5..1 blends full linking into mid-only or
/// side-only detection, as the band's Stereo Link Mode says. The text shows both halves
/// ("50%", "100%, 50% Mid-only"), so the parameter keeps a copy of the mode for display, which
/// its band keeps in step. Typed text gives the link amount ("50"), or the second half after a
/// comma or before a mode word ("100, 50", "50 M"); typing never changes the mode.
/// [main thread] for changes; the const operations may run on any thread.
class StereoLinkParameter : public FloatPluginParameter {
public:
    StereoLinkParameter(std::string name, GenericParameterOwner* owner);

    bool valueFromText(std::string_view text, float& value,
                       std::string& failureReason) const override;
    /// Shortens by abbreviating the mode word, then dropping "%", blanks and "100,".
    std::string shortTextOfValue(float value, std::size_t maxCharacters) const override;
    std::string textOfValue(float value) const override;

    StereoLinkMode stereoLinkMode() const noexcept { return stereoLinkMode_; }
    /// Modes outside the enumeration are ignored.
    void setStereoLinkMode(StereoLinkMode mode) noexcept;

private:
    StereoLinkMode stereoLinkMode_ = StereoLinkMode::kMid;
};

}  // namespace tessel
