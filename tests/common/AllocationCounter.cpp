#include "common/AllocationCounter.h"

#include <cstdlib>
#include <new>

// Replacement global allocation functions that count, per thread, every successful request and
// hand the memory to malloc / aligned_alloc. Deletion is not counted: a steady-state audio loop
// that frees memory must have allocated it too, so counting allocations is enough. Every form is
// replaced, so that no library default pairs its own allocation with our free (sanitizers check
// that pairing).

namespace {

thread_local std::uint64_t tAllocations = 0;

void* allocate(std::size_t size) noexcept {
    ++tAllocations;
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate(std::size_t size, std::align_val_t alignment) noexcept {
    ++tAllocations;
    const std::size_t a = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + a - 1) / a * a;
    return std::aligned_alloc(a, rounded == 0 ? a : rounded);
}

void* orThrow(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace tessel::testing {

std::uint64_t threadAllocationCount() noexcept {
    return tAllocations;
}

}  // namespace tessel::testing

void* operator new(std::size_t size) {
    return orThrow(allocate(size));
}
void* operator new[](std::size_t size) {
    return orThrow(allocate(size));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return orThrow(allocate(size, alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return orThrow(allocate(size, alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate(size, alignment);
}

// Every form of delete and delete[] frees: free() needs neither the size nor the alignment.
#define TESSEL_DELETE(...)                                                \
    void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept {   \
        std::free(p);                                                     \
    }                                                                     \
    void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { \
        std::free(p);                                                     \
    }
TESSEL_DELETE()
TESSEL_DELETE(std::size_t)
TESSEL_DELETE(const std::nothrow_t&)
TESSEL_DELETE(std::align_val_t)
TESSEL_DELETE(std::size_t, std::align_val_t)
TESSEL_DELETE(std::align_val_t, const std::nothrow_t&)
