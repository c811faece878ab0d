#pragma once

#include <cstdint>

namespace tessel {

/// Data produced on one thread and read on another under a lock: the reader brackets its reads
/// with `lock`/`unlock`, which nest (the nested count says how deep). Never locked on the audio
/// thread. [any thread, locking]
class LockedSource {
public:
    virtual ~LockedSource() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
    /// How many `lock` calls are not yet matched by `unlock`.
    virtual int32_t lockCount() const = 0;
};

}  // namespace tessel
