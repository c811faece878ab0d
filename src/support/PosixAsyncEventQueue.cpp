#include "support/PosixAsyncEventQueue.h"

#include <algorithm>

namespace tessel {

std::uint32_t PosixAsyncEventQueue::nodesFor(std::size_t capacity) noexcept {
    using Queue = LockFreeIndexQueue<Event>;
    constexpr std::size_t kMaximumEvents = Queue::kMaximumNodes - Queue::kReservedNodes;
    return static_cast<std::uint32_t>(std::clamp<std::size_t>(capacity, 1, kMaximumEvents) +
                                      Queue::kReservedNodes);
}

// Same initial and maximum node count: the pool never grows, so post() never locks or allocates.
PosixAsyncEventQueue::PosixAsyncEventQueue(std::size_t capacity)
    : events_(nodesFor(capacity), nodesFor(capacity)), owner_(std::this_thread::get_id()) {}

void PosixAsyncEventQueue::post(std::uint32_t first, std::uint32_t second) {
    if (!events_.push(Event{first, second})) dropped_.fetch_add(1, std::memory_order_relaxed);
}

std::size_t PosixAsyncEventQueue::pump() {
    if (std::this_thread::get_id() != owner_) return 0;
    const std::size_t limit = capacity();
    std::size_t delivered = 0;
    Event e;
    while (delivered < limit && events_.pop(e)) {
        ++delivered;
        deliver(e.first, e.second);
    }
    return delivered;
}

std::unique_ptr<AsyncEventQueue> AsyncEventQueue::create(std::size_t capacity) {
    return std::make_unique<PosixAsyncEventQueue>(capacity);
}

}  // namespace tessel
