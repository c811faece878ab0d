#pragma once

#include <pthread.h>

#include "support/CriticalSection.h"

namespace tessel {

/// Recursive critical section on a POSIX mutex of type PTHREAD_MUTEX_RECURSIVE: the owning thread
/// may lock it again, and it is released when every lock has been matched by an unlock.
class PosixCriticalSection final : public CriticalSection {
public:
    PosixCriticalSection();
    ~PosixCriticalSection() override;
    PosixCriticalSection(const PosixCriticalSection&) = delete;
    PosixCriticalSection& operator=(const PosixCriticalSection&) = delete;

    void lock() override;
    void unlock() override;

private:
    pthread_mutex_t mutex_;
};

}  // namespace tessel
