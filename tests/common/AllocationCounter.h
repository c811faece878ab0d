#pragma once

#include <cstdint>

namespace tessel::testing {

/// Heap allocations made by the calling thread since the program started. Counted by replacement
/// global operator new / new[] (every form), which every test executable links in, so a test can
/// prove that an audio-path loop allocates nothing: take a scope before the loop, assert zero
/// after.
std::uint64_t threadAllocationCount() noexcept;

/// Counts the calling thread's heap allocations from construction on.
class AllocationScope {
public:
    AllocationScope() noexcept : start_(threadAllocationCount()) {}
    std::uint64_t allocations() const noexcept { return threadAllocationCount() - start_; }

private:
    std::uint64_t start_;
};

/// The steady-state check of an audio path: runs `step(i)` for i = 0 .. warmUp - 1 (first use
/// of every control, lazily sized buffers), then for the next `cycles` values of i, and returns
/// the calling thread's heap allocations during the latter.
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
