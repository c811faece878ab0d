#pragma once

#include <string>

#include "params/FloatPluginParameter.h"
#include "params/IndexedPluginParameter.h"
#include "params/TesselEnumerations.h"

namespace tessel {

/// A crossover slope: value 0..1 shown as 6..48 dB/oct through the slope taper. The minimum
/// phase crossovers exist only at 6, 12, 24, 36 and 48 dB/oct, so while the Processing Mode it
/// follows is Minimum Phase every value that is set or formatted is first snapped to the
/// nearest of those (below 9 -> 6, below 18 -> 12, below 30 -> 24, below 42 -> 36, else 48); in
/// the other modes the slope is continuous. Without a Processing Mode it never snaps.
/// [main thread] for changes; the const operations may run on any thread.
class SlopeParameter : public FloatPluginParameter {
public:
    SlopeParameter(std::string name, GenericParameterOwner* owner);

    std::string textOfValue(float value) const override;
    void setValue(float value, int flag) override;

    /// The Processing Mode parameter to follow (not owned; must outlive this parameter).
    void followProcessingMode(
        const IndexedPluginParameter<ProcessingMode>* processingMode) noexcept {
        processingMode_ = processingMode;
    }
    /// The value as the current Processing Mode allows it.
    float snapped(float value) const;
    /// The slope in dB/oct that Minimum Phase mode puts in place of `slopeDbPerOctave`.
    static float minimumPhaseSlopeDbPerOctave(float slopeDbPerOctave) noexcept;

private:
    const IndexedPluginParameter<ProcessingMode>* processingMode_ = nullptr;
};

}  // namespace tessel
