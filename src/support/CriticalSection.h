#pragma once

#include <memory>

namespace tessel {

/// A lock guarding data shared between threads (the parameter queue's growth, display-data
/// buffers, the process-wide instance list, the preset cache). Recursive: the thread holding it
/// may lock it again and must unlock it as often. Never used on the audio path in steady state.
class CriticalSection {
public:
    virtual ~CriticalSection() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;

    /// Creates the platform's implementation.
    static std::unique_ptr<CriticalSection> create();
};

/// Locks a critical section for the lifetime of the guard.
class ScopedLock {
public:
    explicit ScopedLock(CriticalSection* section) : section_(section) {
        if (section_ != nullptr) section_->lock();
    }
    explicit ScopedLock(CriticalSection& section) : ScopedLock(&section) {}
    ~ScopedLock() {
        if (section_ != nullptr) section_->unlock();
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection* section_;
};

}  // namespace tessel
