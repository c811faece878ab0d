#include "common/AllocationCounter.h"

#include <cstdlib>
#include <new>

// Every form of global new counts per thread (a loop that frees must have allocated too).

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

// clang-format off
#define TESSEL_NEW(op)                                                                            \
    void* op(std::size_t size) { return orThrow(allocate(size)); }                                \
    void* op(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }         \
    void* op(std::size_t size, std::align_val_t a) { return orThrow(allocate(size, a)); }         \
    void* op(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {              \
        return allocate(size, a);                                                                 \
    }
#define TESSEL_DELETE(...)                                                                        \
    void operator delete(void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { std::free(p); }           \
    void operator delete[](void* p __VA_OPT__(, ) __VA_ARGS__) noexcept { std::free(p); }
// clang-format on
TESSEL_NEW(operator new)
TESSEL_NEW(operator new[])
TESSEL_DELETE()
TESSEL_DELETE(std::size_t)
TESSEL_DELETE(const std::nothrow_t&)
TESSEL_DELETE(std::align_val_t)
TESSEL_DELETE(std::size_t, std::align_val_t)
TESSEL_DELETE(std::align_val_t, const std::nothrow_t&)
