#include "params/BandParameterSetArray.h"

#include <string>

namespace tessel {

BandParameterSetArray::BandParameterSetArray(GenericParameterOwner* owner) {
    for (int number = 1; number <= kBandCount; ++number)
        addSet("Band " + std::to_string(number), number, owner);
}

}  // namespace tessel
