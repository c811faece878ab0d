#include "params/RatioParameter.h"

#include <cmath>

#include "params/ParameterTapers.h"
#include "params/ParameterUnits.h"
#include "support/Tolerance.h"

namespace tessel {

RatioParameter::RatioParameter(std::string name, GenericParameterOwner* owner,
                               const IndexedPluginParameter<DynamicsMode>* dynamicsMode,
                               const FloatPluginParameter* rangeDb)
    : FloatPluginParameter(std::move(name), owner, 0.0f, 1.0f, 0.6f),
      dynamicsMode_(dynamicsMode),
      rangeDb_(rangeDb) {
    textFormat().setValueMap(&ratioTaper, &ratioTaperInverse);
    textFormat().setLinearRange(1.0f, 100.0f);
    textFormat().setUnit(&RatioParameterUnit::instance());
    textFormat().setNumberFormat("%.2f");
}

float RatioParameter::scaledMove(float value, float oldReference, float newReference) const {
    const auto limit = [this](float v) { return std::isnan(v) ? currentValue() : clampToRange(v); };
    value = limit(value);
    oldReference = limit(oldReference);
    newReference = limit(newReference);
    // Displays are ratios of at least 1, so every division below is by a number >= 1 or by
    // (ratioOld - 1) and (1 - 1/ratioOld), which the first test keeps away from zero.
    const double ratioOld = displayOfValue(oldReference);
    const double ratioNew = displayOfValue(newReference);
    const double ratio = displayOfValue(value);
    if (std::fabs(ratioOld - 1.0) <= kFloatTolerance)
        return clampToRange(value + (newReference - oldReference));

    const bool expanding =
        dynamicsMode_ != nullptr && dynamicsMode_->storedValue() == DynamicsMode::kExpansion;
    const bool rangeNegative = rangeDb_ != nullptr && rangeDb_->currentValue() < 0.0f;
    double moved;
    if (expanding == rangeNegative) {
        moved = (ratioNew - 1.0) / (ratioOld - 1.0) * (ratio - 1.0) + 1.0;
    } else {
        const double k = (1.0 - 1.0 / ratioNew) / (1.0 - 1.0 / ratioOld);
        const double denominator = 1.0 - k * (1.0 - 1.0 / ratio);
        // k > 1 can drive the denominator to zero or below: the ratio went to infinity.
        moved = denominator > 0.0 ? 1.0 / denominator : INFINITY;
    }
    const float result = valueFromDisplay(static_cast<float>(moved));
    return std::isfinite(result) ? clampToRange(result) : value;
}

}  // namespace tessel
