// What threads share: the lock-free queue, the event queue, recursive locks, the interval timer.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/AllocationCounter.h"
#include "support/IntervalTimer.h"
#include "support/LockFreeIndexQueue.h"
#include "support/LockedObject.h"
#include "support/PosixAsyncEventQueue.h"
#include "support/PosixIntervalTimer.h"

namespace tessel {
namespace {

// Every word derives from (producer, sequence): a torn copy, mixing two records, fails valid().
struct Record {
    std::uint32_t producer, sequence, check[4];
    static Record make(std::uint32_t p, std::uint32_t s) {
        const std::uint32_t k = p * 0x9E3779B9u ^ s * 0x85EBCA6Bu;
        return {p, s, {k, ~k, k ^ 0x5A5A5A5Au, k + p}};
    }
    bool valid() const { return *this == make(producer, sequence); }
    bool operator==(const Record&) const = default;
};

// A broken queue tends to hang in a cycle of links: end the run with a message instead.
struct Watchdog {
    std::promise<void> done;
    std::thread thread{[finished = done.get_future()] {
        if (finished.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
            std::fputs("Queue test still running after 60 s: livelock\n", stderr);
            std::abort();
        }
    }};
    ~Watchdog() {
        done.set_value();
        thread.join();
    }
};

// Per round, thread t pushes make(t, n) if t < producers (no retry) and pops if t < consumers;
// then drains here. Every value pushed must come out once, untorn and in each producer's order.
// Returns each producer's count.
std::vector<std::uint32_t> stress(LockFreeIndexQueue<Record>& queue, std::uint32_t producers,
                                  std::uint32_t consumers, std::uint32_t iterations) {
    Watchdog watchdog;
    const std::uint32_t threadCount = std::max(producers, consumers);
    std::vector<std::uint32_t> pushed(producers, 0);
    std::vector<std::vector<std::uint64_t>> popped(threadCount + 1);  // the last one is ours
    std::atomic<std::uint32_t> faults{0};
    std::atomic<bool> go{false};
    const auto take = [&](std::vector<std::uint64_t>& keys, std::vector<std::int64_t>& last) {
        Record r{};
        if (!queue.pop(r)) return false;
        if (!r.valid() || r.producer >= producers || r.sequence <= last[r.producer]) {
            faults.fetch_add(1);
        } else {
            last[r.producer] = r.sequence;
            keys.push_back(std::uint64_t{r.producer} << 32 | r.sequence);
        }
        return true;
    };
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::int64_t> last(producers, -1);
            popped[t].reserve(iterations);
            while (!go.load()) {
            }  // spin, so that all threads start together
            for (std::uint32_t i = 0; i < iterations; ++i) {
                if (t < producers && queue.push(Record::make(t, pushed[t]))) ++pushed[t];
                if (t < consumers) take(popped[t], last);
            }
        });
    }
    go.store(true);
    for (auto& t : threads)
        t.join();
    std::vector<std::int64_t> last(producers, -1);
    while (take(popped[threadCount], last)) {
    }

    EXPECT_EQ(faults.load(), 0u) << "torn, unknown or out-of-order values";
    std::vector<std::uint64_t> taken, given;
    for (const auto& keys : popped)
        taken.insert(taken.end(), keys.begin(), keys.end());
    for (std::uint64_t p = 0; p < producers; ++p) {
        for (std::uint64_t s = 0; s < pushed[p]; ++s)
            given.push_back(p << 32 | s);
    }
    std::sort(taken.begin(), taken.end());
    EXPECT_TRUE(taken == given) << "values lost, duplicated or never pushed";
    return pushed;
}

TEST(LockFreeIndexQueue, KeepsFifoOrderThroughCounterWrapAndGrowthAndAllocatesOnlyToGrow) {
    LockFreeIndexQueue<Record> queue(16, 100);
    Record out{};
    testing::AllocationScope steady;
    // Well over 65536 exchanges within the initial pool: every 16-bit change counter wraps.
    std::uint32_t next = 0, expected = 0;
    for (int round = 0; round < 60000; ++round) {
        for (int k = 0; k <= round % 8; ++k)
            ASSERT_TRUE(queue.push(Record::make(0, next++)));
        for (int k = 0; k <= round % 8; ++k) {
            ASSERT_TRUE(queue.pop(out));
            ASSERT_EQ(out, Record::make(0, expected++));
        }
    }
    EXPECT_FALSE(queue.pop(out));
    EXPECT_EQ(steady.allocations(), 0u);
    // Grown to its maximum, every node but the two that never carry a payload holds one.
    std::uint32_t pushed = 0;
    while (queue.push(Record::make(1, pushed)))
        ++pushed;
    EXPECT_TRUE(pushed == 98u && queue.nodeCount() == 100u);
    testing::AllocationScope full;
    EXPECT_FALSE(queue.push(Record{}));  // refused without trying to grow
    EXPECT_EQ(full.allocations(), 0u);
    for (std::uint32_t i = 0; i < pushed; ++i) {
        ASSERT_TRUE(queue.pop(out));
        ASSERT_EQ(out, Record::make(1, i));
    }
}

TEST(LockFreeIndexQueue, ConcurrentProducersAndConsumersKeepEveryValueOnceUntornInOrderAndGrow) {
    // More threads than cores through four payload nodes, preempted mid-operation: ABA or torn
    // payloads show here.
    LockFreeIndexQueue<Record> tiny(6, 6);
    stress(tiny, 6, 6, 1000000);
    // Three producers outrun one consumer: the pool grows to its maximum under contention.
    LockFreeIndexQueue<Record> growing(64, 65536);
    stress(growing, 3, 1, 300000);
    EXPECT_EQ(growing.nodeCount(), 65536u);
    // Nobody consumes: every producer runs into each growth step, the maximum is filled exactly.
    for (int round = 0; round < 10; ++round) {
        LockFreeIndexQueue<Record> queue(4, 65536);
        const std::vector<std::uint32_t> pushed = stress(queue, 3, 0, 65536);
        ASSERT_EQ(pushed[0] + pushed[1] + pushed[2], 65534u);
        ASSERT_EQ(queue.nodeCount(), 65536u);
    }
}

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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (receiver.received.size() < kEvents && std::chrono::steady_clock::now() < deadline)
        queue->pump();
    worker.join();

    EXPECT_TRUE(workerAllocations == 0u && receiver.offOwnerThread == 0u);
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
    EXPECT_TRUE(receiver.received.empty() && queue.droppedEventCount() == 2u);
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

TEST(IntervalTimer, ElapsedSubtractsAcrossThe32BitWrapAndRestartReadsTheClock) {
    EXPECT_EQ(IntervalTimer::elapsedBetween(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(IntervalTimer::elapsedBetween(0xFFFFFFFFu, 0u), 1u);

    std::unique_ptr<IntervalTimer> timer = IntervalTimer::create();
    EXPECT_LT(IntervalTimer::elapsedBetween(timer->restart(), PosixIntervalTimer::nowMs()), 1000u);
}

}  // namespace
}  // namespace tessel
