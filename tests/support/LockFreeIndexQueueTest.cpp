#include "support/LockFreeIndexQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "common/AllocationCounter.h"

namespace tessel {
namespace {

// The three payload shapes the system queues: a parameter change, a two-word event and a wider
// record whose check word exposes a torn (half old, half new) copy.
struct ParameterChange {
    std::int32_t index;
    float value;
};

struct TwoWordEvent {
    std::uint32_t first;
    std::uint32_t second;
    static TwoWordEvent make(std::uint32_t producer, std::uint32_t seq) {
        return {producer << 24 | seq, ~(producer << 24 | seq)};
    }
    bool valid() const { return second == ~first; }
    std::uint32_t producer() const { return first >> 24; }
    std::uint32_t sequence() const { return first & 0xFFFFFFu; }
};

struct WideRecord {
    std::uint64_t producerId;
    std::uint64_t seq;
    std::uint64_t check;
    static WideRecord make(std::uint32_t producer, std::uint32_t s) {
        return {producer, s, (producer * 0x9E3779B97F4A7C15ull) ^ (s * 0xC2B2AE3D27D4EB4Full)};
    }
    bool valid() const {
        return check == ((producerId * 0x9E3779B97F4A7C15ull) ^ (seq * 0xC2B2AE3D27D4EB4Full));
    }
    std::uint32_t producer() const { return static_cast<std::uint32_t>(producerId); }
    std::uint32_t sequence() const { return static_cast<std::uint32_t>(seq); }
};

template <typename T>
void pushOrWait(LockFreeIndexQueue<T>& queue, const T& value) {
    while (!queue.push(value))
        std::this_thread::yield();
}

// A broken queue tends to hang (a cycle in a list) rather than fail an assertion, and a thread
// stuck inside push or pop cannot be stopped. Ends the whole run with a message when the test
// outlives its time limit, instead of waiting for the test driver's timeout.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
                  std::fprintf(stderr, "Queue test still running after %lld s: livelock\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

constexpr std::chrono::seconds kTimeLimit{60};

TEST(LockFreeIndexQueue, FifoHoldsNodesMinusTwoAndSurvivesCounterWrapAround) {
    LockFreeIndexQueue<ParameterChange> queue(10, 10);
    EXPECT_EQ(queue.capacity(), 8u);
    EXPECT_TRUE(queue.empty());
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(queue.push({i, i * 0.5f}));
    EXPECT_FALSE(queue.push({99, 0.0f}));
    EXPECT_FALSE(queue.empty());
    ParameterChange out{};
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(queue.pop(out));
        EXPECT_EQ(out.index, i);
        EXPECT_EQ(out.value, i * 0.5f);
    }
    EXPECT_FALSE(queue.pop(out));

    // Well over 65536 exchanges of every word, with the fill level cycling, so each 16-bit
    // counter wraps several times.
    int next = 0, expected = 0;
    for (int round = 0; round < 60000; ++round) {
        const int fill = 1 + round % 8;
        for (int k = 0; k < fill; ++k)
            ASSERT_TRUE(queue.push({next++, 0.0f}));
        for (int k = 0; k < fill; ++k) {
            ASSERT_TRUE(queue.pop(out));
            ASSERT_EQ(out.index, expected++);
        }
    }
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.nodeCount(), 10u);
}

TEST(LockFreeIndexQueue, GrowsByDoublingToMaximumThenDrops) {
    LockFreeIndexQueue<ParameterChange> queue(4, 100);
    std::vector<std::uint32_t> sizes{queue.nodeCount()};
    int pushed = 0;
    while (queue.push({pushed, 0.0f})) {
        ++pushed;
        if (queue.nodeCount() != sizes.back()) sizes.push_back(queue.nodeCount());
    }
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{4, 8, 16, 32, 64, 100}));
    EXPECT_EQ(pushed, 98);
    EXPECT_EQ(queue.maximumCapacity(), 98u);
    ParameterChange out{};
    for (int i = 0; i < pushed; ++i) {
        ASSERT_TRUE(queue.pop(out));
        ASSERT_EQ(out.index, i);
    }
    EXPECT_FALSE(queue.pop(out));
    // Every node is reusable and the pool stays at its maximum.
    for (int i = 0; i < 98; ++i)
        EXPECT_TRUE(queue.push({i, 0.0f}));
    EXPECT_FALSE(queue.push({0, 0.0f}));
    EXPECT_EQ(queue.nodeCount(), 100u);
}

TEST(LockFreeIndexQueue, PushAndPopAllocateNothingWithoutGrowth) {
    LockFreeIndexQueue<TwoWordEvent> fixed(1026, 1026);
    LockFreeIndexQueue<ParameterChange> grown(8, 64);
    for (int i = 0; i < 62; ++i)
        ASSERT_TRUE(grown.push({i, 0.0f}));  // grow to the maximum now

    testing::AllocationScope scope;
    TwoWordEvent event{};
    ParameterChange change{};
    for (std::uint32_t i = 0; i < 100000; ++i) {
        fixed.push(TwoWordEvent::make(0, i & 0xFFFF));
        if (i % 3 != 0) fixed.pop(event);
        grown.push({0, 0.0f});  // full at its maximum: refused without allocating
        grown.pop(change);
    }
    EXPECT_EQ(scope.allocations(), 0u);
    EXPECT_EQ(fixed.nodeCount(), 1026u);
}

// Three producers feed one consumer through a pool that starts small, so growth happens under
// contention while the consumer drains. Each producer's values must arrive complete and in order.
TEST(LockFreeIndexQueue, ProducersToOneConsumerLoseDuplicateAndReorderNothing) {
    constexpr int kProducers = 3;
    constexpr int kPerProducer = 700000;
    Watchdog watchdog(kTimeLimit);
    LockFreeIndexQueue<ParameterChange> queue(64, 65536);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (int s = 0; s < kPerProducer; ++s)
                pushOrWait(queue, {p, static_cast<float>(s)});
        });
    }
    std::vector<int> nextExpected(kProducers, 0);
    int received = 0;
    int faults = 0;
    ParameterChange out{};
    while (received < kProducers * kPerProducer) {
        if (!queue.pop(out)) {
            std::this_thread::yield();
            continue;
        }
        ++received;
        if (out.index < 0 || out.index >= kProducers ||
            out.value != static_cast<float>(nextExpected[out.index]++)) {
            if (faults++ == 0) ADD_FAILURE() << "producer " << out.index << " value " << out.value;
        }
    }
    for (auto& t : producers)
        t.join();
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(received, kProducers * kPerProducer);
    for (int p = 0; p < kProducers; ++p)
        EXPECT_EQ(nextExpected[p], kPerProducer);
    EXPECT_FALSE(queue.pop(out));
    EXPECT_GT(queue.nodeCount(), 64u);
}

template <typename T>
class LockFreeIndexQueueSharedPool : public ::testing::Test {};
using Payloads = ::testing::Types<TwoWordEvent, WideRecord>;
TYPED_TEST_SUITE(LockFreeIndexQueueSharedPool, Payloads);

// More threads than cores, each producing and consuming through a four-slot pool: the same few
// nodes are recycled constantly while threads are preempted mid-operation, which is where a
// missing change counter (ABA) hands one node out twice and where a payload read too late is
// torn. Every value must come out once and untorn, in order per producer as seen by each
// consumer, and nothing may be lost.
TYPED_TEST(LockFreeIndexQueueSharedPool, ManyThreadsKeepEveryValueOnceUntornAndInOrder) {
    constexpr std::uint32_t kThreads = 6;
    constexpr std::uint32_t kIterations = 500000;
    Watchdog watchdog(kTimeLimit);
    LockFreeIndexQueue<TypeParam> queue(6, 6);
    std::vector<std::uint32_t> pushed(kThreads, 0);
    std::vector<std::vector<std::uint8_t>> seen(kThreads,
                                                std::vector<std::uint8_t>(kIterations, 0));
    std::vector<int> faults(kThreads, 0);
    std::vector<std::vector<TypeParam>> popped(kThreads);
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::int64_t> last(kThreads, -1);
            TypeParam out{};
            for (std::uint32_t i = 0; i < kIterations; ++i) {
                if (queue.push(TypeParam::make(t, pushed[t]))) ++pushed[t];
                if (!queue.pop(out)) continue;
                const std::uint32_t p = out.producer();
                if (!out.valid() || p >= kThreads ||
                    static_cast<std::int64_t>(out.sequence()) <= last[p]) {
                    ++faults[t];
                    continue;
                }
                last[p] = out.sequence();
                popped[t].push_back(out);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(faults, std::vector<int>(kThreads, 0));

    TypeParam out{};
    std::vector<TypeParam> all;
    while (queue.pop(out))
        all.push_back(out);
    EXPECT_LE(all.size(), queue.capacity());
    for (const auto& values : popped)
        all.insert(all.end(), values.begin(), values.end());
    std::uint32_t duplicated = 0, total = 0;
    for (const TypeParam& e : all) {
        ASSERT_TRUE(e.valid());
        ASSERT_LT(e.producer(), kThreads);
        ASSERT_LT(e.sequence(), pushed[e.producer()]);
        duplicated += seen[e.producer()][e.sequence()]++ != 0;
    }
    for (std::uint32_t t = 0; t < kThreads; ++t)
        total += pushed[t];
    EXPECT_EQ(duplicated, 0u);
    EXPECT_EQ(all.size(), total);  // with no duplicates: nothing lost either
}

// Producers racing to grow a tiny pool with nobody consuming: the pool ends at exactly its
// maximum, every slot filled once, and each producer's values come out in order.
TEST(LockFreeIndexQueue, ConcurrentGrowthFillsExactlyTheMaximum) {
    constexpr std::uint32_t kProducers = 3;
    Watchdog watchdog(kTimeLimit);
    for (int round = 0; round < 20; ++round) {
        LockFreeIndexQueue<TwoWordEvent> queue(4, 3000);
        std::vector<std::uint32_t> pushed(kProducers, 0);
        std::atomic<bool> go{false};
        std::vector<std::thread> producers;
        for (std::uint32_t p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                while (!go.load()) {
                }
                while (queue.push(TwoWordEvent::make(p, pushed[p])))
                    ++pushed[p];
            });
        }
        go.store(true);
        for (auto& t : producers)
            t.join();

        ASSERT_EQ(queue.nodeCount(), 3000u);
        ASSERT_EQ(pushed[0] + pushed[1] + pushed[2], 2998u);
        std::vector<std::uint32_t> next(kProducers, 0);
        TwoWordEvent out{};
        while (queue.pop(out)) {
            ASSERT_TRUE(out.valid());
            ASSERT_EQ(out.sequence(), next[out.producer()]++);
        }
        ASSERT_EQ(next, pushed);
    }
}

}  // namespace
}  // namespace tessel
