#pragma once

#include <cstdint>

#include "support/LockedSource.h"

namespace tessel {

/// Audio that a reader takes in fixed blocks: between `lock` and `unlock` the blocks collected
/// on the first lock stay put and can be read; the last `unlock` hands them back. Block 0 is the
/// oldest. Implementations say which thread may call what.
class AudioSource : public LockedSource {
public:
    /// Samples per block and channel.
    virtual int32_t blockLength() const = 0;
    /// blockLength() samples of one channel of a collected block.
    virtual const float* blockData(int32_t block, int32_t channel) const = 0;
    /// Blocks collected by the current lock.
    virtual int32_t blocksAvailable() const = 0;
    virtual int32_t channelCount() const = 0;
};

}  // namespace tessel
