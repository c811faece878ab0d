#include "support/PosixIntervalTimer.h"

#include <time.h>

namespace tessel {

PosixIntervalTimer::PosixIntervalTimer() noexcept : startMs_(nowMs()) {}

std::uint32_t PosixIntervalTimer::elapsed() const {
    return elapsedBetween(startMs_, nowMs());
}

std::uint32_t PosixIntervalTimer::restart() {
    startMs_ = nowMs();
    return startMs_;
}

std::uint32_t PosixIntervalTimer::nowMs() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::unique_ptr<IntervalTimer> IntervalTimer::create() {
    return std::make_unique<PosixIntervalTimer>();
}

}  // namespace tessel
