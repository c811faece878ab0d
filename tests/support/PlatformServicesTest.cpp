#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/AllocationCounter.h"
#include "support/IntervalTimer.h"
#include "support/LockedObject.h"
#include "support/PosixAsyncEventQueue.h"
#include "support/PosixIntervalTimer.h"

namespace tessel {
namespace {

using Words = std::pair<std::uint32_t, std::uint32_t>;

struct Receiver {
    std::vector<Words> received;
    std::size_t offOwnerThread = 0;
    const std::thread::id owner = std::this_thread::get_id();
    void onEvent(void* sender) {
        const auto* queue = static_cast<AsyncEventQueue*>(sender);
        received.emplace_back(queue->first(), queue->second());
        offOwnerThread += std::this_thread::get_id() != owner;
    }
};

TEST(AsyncEventQueue, WorkerPostsArriveOnTheOwnerThreadInOrderWithTheirWordsWithoutAllocating) {
    constexpr std::uint32_t kEvents = 5000;
    std::unique_ptr<AsyncEventQueue> queue = AsyncEventQueue::create(kEvents);
    Receiver receiver;
    queue->event().addHandler(&receiver, &Receiver::onEvent);
    std::uint64_t workerAllocations = ~0ull;
    std::thread worker([&] {
        testing::AllocationScope scope;
        for (std::uint32_t i = 0; i < kEvents; ++i)
            queue->post(i, ~i * 2654435761u);
        workerAllocations = scope.allocations();
    });
    // Pumps while the worker posts, until everything arrived or a generous deadline passed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (receiver.received.size() < kEvents && std::chrono::steady_clock::now() < deadline)
        queue->pump();
    worker.join();

    EXPECT_EQ(workerAllocations, 0u);
    EXPECT_EQ(receiver.offOwnerThread, 0u);
    ASSERT_EQ(receiver.received.size(), kEvents);
    for (std::uint32_t k = 0; k < kEvents; ++k)
        ASSERT_EQ(receiver.received[k], (Words{k, ~k * 2654435761u})) << "at delivery " << k;
}

TEST(AsyncEventQueue, FullQueueDropsAndCountsAndOnlyTheOwnerPumpsAtMostTheCapacityPerCall) {
    PosixAsyncEventQueue queue(4);
    Receiver receiver;
    queue.event().addHandler(&receiver, &Receiver::onEvent);
    std::thread([&] {
        for (std::uint32_t i = 0; i < 6; ++i)
            queue.post(i, i * 100);
        EXPECT_EQ(queue.pump(), 0u);  // not the owner
    }).join();
    EXPECT_TRUE(receiver.received.empty());
    EXPECT_EQ(queue.droppedEventCount(), 2u);
    EXPECT_EQ(queue.pump(), 4u);
    EXPECT_EQ(receiver.received, (std::vector<Words>{{0, 0}, {1, 100}, {2, 200}, {3, 300}}));
    // A handler that posts again, for ever, cannot keep one pump busy.
    queue.event().addFunction([&](void*) { queue.post(9, 9); });
    queue.post(7, 700);
    EXPECT_EQ(queue.pump(), 4u);
}

TEST(LockedObject, LockSerialisesThreadsAndIsRecursive) {
    struct : LockedObject {
        long value = 0;  // guarded by the object's own lock
    } counter;
    auto work = [&counter] {
        for (int i = 0; i < 20000; ++i) {
            ScopedLock outer(counter.criticalSection());
            counter.lock();  // again on the same thread: must not deadlock
            ++counter.value;
            counter.unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter.value, 40000);
}

TEST(IntervalTimer, ElapsedSubtractsAcrossThe32BitWrapAndGrowsWithRealTime) {
    EXPECT_EQ(IntervalTimer::elapsedBetween(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(IntervalTimer::elapsedBetween(0xFFFFFFFFu, 0u), 1u);

    std::unique_ptr<IntervalTimer> timer = IntervalTimer::create();
    // restart() returns the current clock reading.
    EXPECT_LT(IntervalTimer::elapsedBetween(timer->restart(), PosixIntervalTimer::nowMs()), 1000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint32_t elapsed = timer->elapsed();
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);  // generous: shared machines stall
}

}  // namespace
}  // namespace tessel
