#include "common/AllocationCounter.h"

#include <cstdlib>
#include <new>

// Replacement global allocation functions that count, per thread, every successful request and
// hand the memory to malloc / aligned_alloc. Deletion is not counted: a steady-state audio loop
// that frees memory must have allocated it too, so counting allocations is enough.

namespace {

thread_local std::uint64_t tAllocations = 0;

void* allocate(std::size_t size) {
    ++tAllocations;
    if (size == 0) size = 1;
    return std::malloc(size);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    ++tAllocations;
    const std::size_t a = static_cast<std::size_t>(alignment);
    std::size_t rounded = (size + a - 1) / a * a;
    if (rounded == 0) rounded = a;
    return std::aligned_alloc(a, rounded);
}

}  // namespace

namespace tessel::testing {

std::uint64_t threadAllocationCount() noexcept {
    return tAllocations;
}

}  // namespace tessel::testing

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (void* p = allocateAligned(size, alignment)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    if (void* p = allocateAligned(size, alignment)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, alignment);
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
