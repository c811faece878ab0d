#pragma once

#include "params/AbstractPluginParameter.h"
#include "params/BandParameterSet.h"
#include "params/ParameterSetArray.h"

namespace tessel {

/// The six band sets, "Band 1" to "Band 6", built in order so that band b (1..6) field k
/// (0..21) has identifier firstIdentifier() + (b - 1) * 22 + k. [main thread]
class BandParameterSetArray : public ParameterSetArray<BandParameterSet> {
public:
    static constexpr int kBandCount = 6;

    explicit BandParameterSetArray(GenericParameterOwner* owner);

    /// The band at index 0..5 (band number - 1).
    BandParameterSet& band(int index) const { return set(index); }
};

}  // namespace tessel
