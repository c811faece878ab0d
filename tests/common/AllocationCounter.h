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

}  // namespace tessel::testing
