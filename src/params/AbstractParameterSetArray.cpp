#include "params/AbstractParameterSetArray.h"

namespace tessel {

bool AbstractParameterSetArray::containsIdentifier(int identifier) const {
    const int first = firstIdentifier();
    return first >= 0 && identifier >= first && identifier <= lastIdentifier();
}

int AbstractParameterSetArray::setIndexOfIdentifier(int identifier) const {
    if (!containsIdentifier(identifier)) return -1;
    for (int i = 0; i < setCount(); ++i) {
        const auto& parameters = set(i).parameters();
        if (!parameters.empty() && identifier <= parameters.back()->identifier()) return i;
    }
    return -1;
}

void AbstractParameterSetArray::resetAllToDefaults() {
    for (int i = 0; i < setCount(); ++i)
        set(i).resetToDefaults();
}

int AbstractParameterSetArray::firstIdentifier() const {
    for (int i = 0; i < setCount(); ++i) {
        const auto& parameters = set(i).parameters();
        if (!parameters.empty()) return parameters.front()->identifier();
    }
    return -1;
}

void AbstractParameterSetArray::forEachParameter(const Visitor& visitor) const {
    for (int i = 0; i < setCount(); ++i) {
        for (AbstractPluginParameter* parameter : set(i).parameters())
            visitor(*parameter);
    }
}

int AbstractParameterSetArray::lastIdentifier() const {
    for (int i = setCount() - 1; i >= 0; --i) {
        const auto& parameters = set(i).parameters();
        if (!parameters.empty()) return parameters.back()->identifier();
    }
    return -1;
}

}  // namespace tessel
