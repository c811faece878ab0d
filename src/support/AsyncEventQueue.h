#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/NotifyEvent.h"

namespace tessel {

/// Hands an event of two 32-bit words from any thread to the thread that created the queue (the
/// main thread): post() returns at once, and the event's handlers later run on the owner thread,
/// in posting order, with the queue as sender; while they run, first() and second() give the
/// words of the event being delivered. The plug-in model uses one per instance, e.g. to tell the
/// host about a latency change computed elsewhere. Register handlers on the owner thread.
class AsyncEventQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 1024;

    virtual ~AsyncEventQueue() = default;
    AsyncEventQueue(const AsyncEventQueue&) = delete;
    AsyncEventQueue& operator=(const AsyncEventQueue&) = delete;

    /// Queues an event for delivery on the owner thread. [any thread, lock-free, never blocks]
    virtual void post(std::uint32_t first, std::uint32_t second) = 0;

    /// Delivers the events posted so far and returns how many it delivered. Implementations that
    /// a system message loop drives deliver from there and may deliver nothing here. [owner thread]
    virtual std::size_t pump() = 0;

    /// Events lost because the queue was full. [any thread]
    virtual std::uint64_t droppedEventCount() const noexcept = 0;

    /// The handlers that receive delivered events. [owner thread]
    NotifyEvent& event() noexcept { return event_; }

    /// The words of the event being delivered (valid while its handlers run). [owner thread]
    std::uint32_t first() const noexcept { return first_; }
    std::uint32_t second() const noexcept { return second_; }

    /// Creates the platform's implementation, owned by the calling thread, holding up to
    /// `capacity` undelivered events. [main thread]
    static std::unique_ptr<AsyncEventQueue> create(std::size_t capacity = kDefaultCapacity);

protected:
    AsyncEventQueue() = default;

    /// Stores the words and fires the event with this queue as sender. [owner thread]
    void deliver(std::uint32_t first, std::uint32_t second) {
        first_ = first;
        second_ = second;
        event_.fire(this);
    }

private:
    NotifyEvent event_;
    std::uint32_t second_ = 0;
    std::uint32_t first_ = 0;
};

}  // namespace tessel
