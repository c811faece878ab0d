#pragma once

#include <cstdint>

namespace tessel::testing {

/// Heap allocations by the calling thread so far (every test links the counting operator new).
std::uint64_t threadAllocationCount() noexcept;

/// Counts the calling thread's heap allocations from construction on.
class AllocationScope {
public:
    AllocationScope() noexcept : start_(threadAllocationCount()) {}
    std::uint64_t allocations() const noexcept { return threadAllocationCount() - start_; }

private:
    std::uint64_t start_;
};

/// Runs `step(i)` for `warmUp` values of i, then returns the allocations of the next `cycles`.
template <typename Step>
std::uint64_t steadyStateAllocations(int warmUp, int cycles, Step&& step) {
    for (int i = 0; i < warmUp; ++i)
        step(i);
    const AllocationScope scope;
    for (int i = warmUp; i < warmUp + cycles; ++i)
        step(i);
    return scope.allocations();
}

}  // namespace tessel::testing
