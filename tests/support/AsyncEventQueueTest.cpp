#include "support/PosixAsyncEventQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "common/AllocationCounter.h"

namespace tessel {
namespace {

using Words = std::pair<std::uint32_t, std::uint32_t>;

struct Receiver {
    std::vector<Words> received;
    std::vector<std::thread::id> threads;
    void* sender = nullptr;
    void onEvent(void* s) {
        auto* queue = static_cast<AsyncEventQueue*>(s);
        sender = s;
        received.emplace_back(queue->first(), queue->second());
        threads.push_back(std::this_thread::get_id());
    }
};

// Pumps on the calling thread until `count` events arrived or a generous deadline passed.
void pumpUntil(AsyncEventQueue& queue, const Receiver& receiver, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (receiver.received.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (queue.pump() == 0) std::this_thread::yield();
    }
}

TEST(AsyncEventQueue, WorkerEventsArriveOnOwnerThreadInPostingOrderWithOwnWords) {
    constexpr std::size_t kCapacity = 64;
    std::unique_ptr<AsyncEventQueue> queue = AsyncEventQueue::create(kCapacity);
    Receiver receiver;
    queue->event().addHandler(&receiver, &Receiver::onEvent);
    std::atomic<std::uint32_t> delivered{0};
    queue->event().addFunction([&](void*) { delivered.fetch_add(1); });

    // Many more events than fit: the worker waits for room (never more than kCapacity in
    // flight) while the owner pumps, so nothing may be dropped.
    constexpr std::uint32_t kEvents = 20000;
    std::uint64_t workerAllocations = ~0ull;
    std::atomic<bool> ownerGaveUp{false};
    std::thread worker([&] {
        testing::AllocationScope scope;
        for (std::uint32_t i = 0; i < kEvents && !ownerGaveUp.load(); ++i) {
            while (i - delivered.load() >= kCapacity && !ownerGaveUp.load()) {
                std::this_thread::yield();
            }
            queue->post(i, ~i * 2654435761u);
        }
        workerAllocations = scope.allocations();
    });
    pumpUntil(*queue, receiver, kEvents);
    ownerGaveUp.store(true);
    worker.join();

    EXPECT_EQ(workerAllocations, 0u);
    EXPECT_EQ(queue->droppedEventCount(), 0u);
    EXPECT_EQ(receiver.sender, queue.get());
    ASSERT_EQ(receiver.received.size(), kEvents);
    for (std::uint32_t k = 0; k < kEvents; ++k) {
        ASSERT_EQ(receiver.received[k], (Words{k, ~k * 2654435761u})) << "at delivery " << k;
        ASSERT_EQ(receiver.threads[k], std::this_thread::get_id());
    }
}

TEST(AsyncEventQueue, TwoEventsFromWorkerAreDeliveredOnlyByOwnerPump) {
    PosixAsyncEventQueue queue(8);
    Receiver receiver;
    queue.event().addHandler(&receiver, &Receiver::onEvent);
    std::thread([&] {
        queue.post(1, 10);
        queue.post(2, 20);
        EXPECT_EQ(queue.pump(), 0u);  // not the owner: delivers nothing
    }).join();
    EXPECT_TRUE(receiver.received.empty());
    EXPECT_EQ(queue.pump(), 2u);
    EXPECT_EQ(receiver.received, (std::vector<Words>{{1, 10}, {2, 20}}));
    EXPECT_EQ(queue.pump(), 0u);
}

TEST(AsyncEventQueue, FullQueueDropsAndCountsNewEvents) {
    PosixAsyncEventQueue queue(4);
    Receiver receiver;
    queue.event().addHandler(&receiver, &Receiver::onEvent);
    EXPECT_EQ(queue.capacity(), 4u);
    for (std::uint32_t i = 0; i < 6; ++i)
        queue.post(i, i * 100);
    EXPECT_EQ(queue.droppedEventCount(), 2u);
    EXPECT_EQ(queue.pump(), 4u);
    EXPECT_EQ(receiver.received, (std::vector<Words>{{0, 0}, {1, 100}, {2, 200}, {3, 300}}));
    // Room again after delivery.
    queue.post(7, 700);
    EXPECT_EQ(queue.pump(), 1u);
    EXPECT_EQ(queue.droppedEventCount(), 2u);
}

TEST(AsyncEventQueue, HandlerPostingAgainIsBoundedPerPump) {
    PosixAsyncEventQueue queue(3);
    int deliveries = 0;
    queue.event().addFunction([&](void*) {
        ++deliveries;
        queue.post(queue.first() + 1, 0);  // re-posts for ever
    });
    queue.post(0, 0);
    EXPECT_EQ(queue.pump(), 3u);
    EXPECT_EQ(deliveries, 3);
    EXPECT_EQ(queue.pump(), 3u);
    EXPECT_EQ(deliveries, 6);
}

}  // namespace
}  // namespace tessel
