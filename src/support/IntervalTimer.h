#pragma once

#include <cstdint>
#include <memory>

namespace tessel {

/// A millisecond stopwatch over a 32-bit millisecond clock (meter fall-off, double-click and
/// cache timings). The clock wraps after about 49.7 days; elapsed() subtracts modulo 2^32, so it
/// stays right across a wrap for intervals shorter than that. Used on one thread at a time.
class IntervalTimer {
public:
    virtual ~IntervalTimer() = default;

    /// Milliseconds since the last restart (or construction).
    virtual std::uint32_t elapsed() const = 0;
    /// Starts a new interval; returns the clock reading it stored, in ms.
    virtual std::uint32_t restart() = 0;

    /// nowMs - startMs modulo 2^32: the interval between two readings of a wrapping ms clock.
    static constexpr std::uint32_t elapsedBetween(std::uint32_t startMs,
                                                  std::uint32_t nowMs) noexcept {
        return nowMs - startMs;
    }

    /// Creates the platform's implementation, already started.
    static std::unique_ptr<IntervalTimer> create();
};

}  // namespace tessel
