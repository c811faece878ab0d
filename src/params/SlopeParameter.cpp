#include "params/SlopeParameter.h"

#include <cmath>

#include "params/ParameterTapers.h"
#include "params/ParameterUnits.h"

namespace tessel {

SlopeParameter::SlopeParameter(std::string name, GenericParameterOwner* owner)
    : FloatPluginParameter(std::move(name), owner, 0.0f, 1.0f, 0.5f) {
    textFormat().setValueMap(&slopeTaperDbPerOctave, &slopeTaperInverse);
    textFormat().setUnit(&SlopeParameterUnit::instance());
    textFormat().setNumberFormat("%.1f");
}

float SlopeParameter::minimumPhaseSlopeDbPerOctave(float slopeDbPerOctave) noexcept {
    if (slopeDbPerOctave < 9.0f) return 6.0f;
    if (slopeDbPerOctave < 18.0f) return 12.0f;
    if (slopeDbPerOctave < 30.0f) return 24.0f;
    if (slopeDbPerOctave < 42.0f) return 36.0f;
    return 48.0f;
}

float SlopeParameter::snapped(float value) const {
    if (std::isnan(value)) return value;  // left to the caller's NaN rule
    if (processingMode_ == nullptr ||
        processingMode_->storedValue() != ProcessingMode::kMinimumPhase)
        return value;
    return valueFromDisplay(minimumPhaseSlopeDbPerOctave(displayOfValue(value)));
}

std::string SlopeParameter::textOfValue(float value) const {
    return FloatPluginParameter::textOfValue(snapped(clampToRange(value)));
}

void SlopeParameter::setValue(float value, int flag) {
    FloatPluginParameter::setValue(snapped(value), flag);
}

}  // namespace tessel
