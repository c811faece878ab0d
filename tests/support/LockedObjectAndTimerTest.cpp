#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "support/IntervalTimer.h"
#include "support/LockedObject.h"
#include "support/PosixIntervalTimer.h"

namespace tessel {
namespace {

class Counter : public LockedObject {
public:
    long value = 0;  // guarded by the object's own lock
};

TEST(LockedObject, LockSerialisesThreadsAndIsRecursive) {
    Counter counter;
    auto work = [&counter] {
        for (int i = 0; i < 20000; ++i) {
            ScopedLock outer(counter.criticalSection());
            counter.lock();  // recursive on the same thread
            ++counter.value;
            counter.unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter.value, 40000);
}

TEST(IntervalTimer, ElapsedSubtractsAcrossThe32BitWrap) {
    EXPECT_EQ(IntervalTimer::elapsedBetween(1000u, 1250u), 250u);
    EXPECT_EQ(IntervalTimer::elapsedBetween(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(IntervalTimer::elapsedBetween(0xFFFFFFFFu, 0u), 1u);
    EXPECT_EQ(IntervalTimer::elapsedBetween(7u, 7u), 0u);
}

TEST(IntervalTimer, MeasuresRealMillisecondsFromRestart) {
    std::unique_ptr<IntervalTimer> timer = IntervalTimer::create();
    const std::uint32_t start = timer->restart();
    EXPECT_LT(IntervalTimer::elapsedBetween(start, PosixIntervalTimer::nowMs()), 1000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t elapsed = timer->elapsed();
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);  // generous: shared CI machines stall
    // restart() stores and returns the current clock.
    EXPECT_LT(IntervalTimer::elapsedBetween(timer->restart(), PosixIntervalTimer::nowMs()), 1000u);
}

}  // namespace
}  // namespace tessel
