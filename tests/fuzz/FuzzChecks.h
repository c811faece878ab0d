#pragma once

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string_view>

#include "params/ParameterCollection.h"
#include "plugin/PresetDocument.h"

namespace tessel::fuzz {

/// A broken invariant stops the run at once, and libFuzzer keeps the input that broke it.
inline void require(bool holds) {
    if (!holds) __builtin_trap();
}

/// Whatever a reader or loader was given, every parameter ends finite and inside its range.
inline void requireValuesInRange(const ParameterCollection& parameters) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const AbstractPluginParameter& parameter = *parameters.parameter(static_cast<int>(i));
        const float value = parameter.currentValue();
        require(std::isfinite(value) && value >= parameter.minimum() &&
                value <= parameter.maximum());
    }
}

/// Every parameter back at its default, so that no input's outcome depends on the one before.
/// Backwards: the Processing Mode (a global) is at its default before the band slopes it snaps.
inline void resetToDefaults(const ParameterCollection& parameters) {
    for (auto i = static_cast<int>(parameters.size()) - 1; i >= 0; --i) {
        AbstractPluginParameter& parameter = *parameters.parameter(i);
        parameter.setValue(parameter.defaultValue(), 0);
    }
}

/// Band 2's component preset parameters: the band's record without State, Low Crossover, High
/// Crossover and Solo/Mute State (18 values), keyed in text without the "Band 2 " prefix.
inline constexpr std::string_view kBandPrefix = "Band 2 ";
inline PresetParameterCollection bandPresetParameters(PresetDocument& document) {
    BandParameterSet& band = document.tessel().band(1);
    const AbstractPluginParameter* const left[] = {&band.state, &band.lowCrossover,
                                                   &band.highCrossover, &band.soloMuteState};
    PresetParameterCollection collection;
    for (AbstractPluginParameter* parameter : band.parameters())
        if (std::find(std::begin(left), std::end(left), parameter) == std::end(left))
            collection.registerParameter(*parameter);
    return collection;
}

}  // namespace tessel::fuzz
