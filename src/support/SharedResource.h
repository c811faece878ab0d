#pragma once

#include <cstdint>
#include <memory>

#include "support/CriticalSection.h"

namespace tessel {

/// A counted reference to a process-wide object of type T (a look-up table every instance
/// reads): the first reference creates it with T's default constructor, the last one destroys
/// it, both under one process-wide lock per T. Holding a reference keeps the object alive, so
/// reading it through `get` is lock-free. Construction, copies and destruction lock and may
/// allocate [main thread, or wherever the owner is built]; `get` is [any thread].
template <typename T>
class SharedResource {
public:
    SharedResource() : value_(acquire()) {}
    SharedResource(const SharedResource&) : value_(acquire()) {}
    SharedResource& operator=(const SharedResource&) { return *this; }  // same object already
    ~SharedResource() { release(); }

    const T* get() const noexcept { return value_; }
    const T& operator*() const noexcept { return *value_; }
    const T* operator->() const noexcept { return value_; }

    /// References alive now. [any thread, locking]
    static int32_t userCount() {
        Registry& r = registry();
        ScopedLock lock(*r.lock);
        return r.users;
    }

private:
    struct Registry {
        std::unique_ptr<CriticalSection> lock = CriticalSection::create();
        std::unique_ptr<T> value;
        int32_t users = 0;
    };
    // Built on first use (thread-safe), lives as long as the process.
    static Registry& registry() {
        static Registry instance;
        return instance;
    }
    static const T* acquire() {
        Registry& r = registry();
        ScopedLock lock(*r.lock);
        if (r.users == 0) r.value = std::make_unique<T>();  // a throw leaves the count alone
        ++r.users;
        return r.value.get();
    }
    static void release() {
        Registry& r = registry();
        ScopedLock lock(*r.lock);
        if (--r.users == 0) r.value.reset();
    }

    const T* value_;
};

}  // namespace tessel
