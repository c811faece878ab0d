#include "params/StereoPanParameter.h"

#include <cmath>

#include "params/ParameterTapers.h"
#include "params/ParameterUnits.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

std::string attenuationText(float levelDb) {
    return std::fabs(levelDb) <= kFloatTolerance ? "0" : formatLevelDb(levelDb);
}

}  // namespace

StereoPanParameter::StereoPanParameter(std::string name, GenericParameterOwner* owner)
    : FloatPluginParameter(std::move(name), owner, -1.0f, 1.0f, 0.0f) {}

std::string StereoPanParameter::textOfValue(float value) const {
    const float pan = clampToRange(value);
    const float attenuatedDb = gainToLevelDb(1.0f - std::fabs(pan));
    const float firstDb = pan > 0.0f ? attenuatedDb : 0.0f;
    const float secondDb = pan < 0.0f ? attenuatedDb : 0.0f;
    const char* firstName = stereoChannels_ ? "Left" : "Mid";
    const char* secondName = stereoChannels_ ? "Right" : "Side";
    return std::string(firstName) + ": " + attenuationText(firstDb) + " dB / " + secondName + ": " +
           attenuationText(secondDb) + " dB";
}

}  // namespace tessel
