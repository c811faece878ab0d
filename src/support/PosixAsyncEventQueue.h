#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "support/AsyncEventQueue.h"
#include "support/LockFreeIndexQueue.h"

namespace tessel {

/// Async event queue over a fixed-size lock-free queue. post() may come from any thread, the
/// host's audio thread included: it never blocks, allocates or makes a system call. Nothing wakes
/// the owner: the thread that created the queue delivers by calling pump() regularly (the host's
/// main-thread or idle callback, the editor's frame loop, the command-line tool's loop). pump()
/// from any other thread delivers nothing and returns 0. Holds up to `capacity` undelivered
/// events (1..65534); when full, post() drops the event and counts it in droppedEventCount().
class PosixAsyncEventQueue final : public AsyncEventQueue {
public:
    /// [owner thread: the constructing thread]
    explicit PosixAsyncEventQueue(std::size_t capacity = kDefaultCapacity);

    void post(std::uint32_t first, std::uint32_t second) override;

    /// Delivers queued events in posting order, at most capacity() per call, so that a handler
    /// that posts again cannot keep one call busy for ever. [owner thread]
    std::size_t pump() override;

    std::uint64_t droppedEventCount() const noexcept override {
        return dropped_.load(std::memory_order_relaxed);
    }

    std::size_t capacity() const noexcept { return events_.maximumCapacity(); }

private:
    struct Event {
        std::uint32_t first;
        std::uint32_t second;
    };

    static std::uint32_t nodesFor(std::size_t capacity) noexcept;

    LockFreeIndexQueue<Event> events_;
    std::atomic<std::uint64_t> dropped_{0};
    const std::thread::id owner_;
};

}  // namespace tessel
