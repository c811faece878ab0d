#include "params/FloatPluginParameterUnit.h"

#include <algorithm>
#include <cctype>

namespace tessel {

FloatPluginParameterUnit::FloatPluginParameterUnit(std::string name) : name_(std::move(name)) {
    addTypedUnit(name_, 1.0f);
}

bool FloatPluginParameterUnit::format(float, std::string&) const {
    return false;
}

bool FloatPluginParameterUnit::parse(std::string_view, float&) const {
    return false;
}

void FloatPluginParameterUnit::configure(ParameterTextFormat&) const {}

void FloatPluginParameterUnit::adjustTypedNumber(float&, float, float, float) const {}

const FloatPluginParameterUnit::TypedUnit* FloatPluginParameterUnit::findTypedUnit(
    std::string_view word) const noexcept {
    const auto sameIgnoringCase = [word](const TypedUnit& unit) {
        return unit.suffix.size() == word.size() &&
               std::equal(word.begin(), word.end(), unit.suffix.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    };
    const auto it = std::find_if(typedUnits_.begin(), typedUnits_.end(), sameIgnoringCase);
    return it == typedUnits_.end() ? nullptr : &*it;
}

void FloatPluginParameterUnit::addTypedUnit(std::string suffix, float scale,
                                            Conversion conversion) {
    typedUnits_.push_back(TypedUnit{std::move(suffix), scale, conversion});
}

}  // namespace tessel
