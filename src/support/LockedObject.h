#pragma once

#include <memory>

#include "support/CriticalSection.h"

namespace tessel {

/// Base for objects guarded by a lock of their own (display-data buffers, the preset cache):
/// holds one platform CriticalSection, made on construction and deleted with the object. The lock
/// is recursive. Lock with ScopedLock(object.criticalSection()) or lock()/unlock(); never on the
/// audio path in steady state.
class LockedObject {
public:
    LockedObject();
    virtual ~LockedObject();
    LockedObject(const LockedObject&) = delete;
    LockedObject& operator=(const LockedObject&) = delete;

    void lock() { section_->lock(); }      // [any thread, may block]
    void unlock() { section_->unlock(); }  // [the locking thread]
    CriticalSection& criticalSection() const noexcept { return *section_; }

private:
    std::unique_ptr<CriticalSection> section_;
};

}  // namespace tessel
