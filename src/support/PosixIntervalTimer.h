#pragma once

#include <cstdint>

#include "support/IntervalTimer.h"

namespace tessel {

/// IntervalTimer on CLOCK_MONOTONIC, read in milliseconds and truncated to 32 bits (so it wraps
/// like a 32-bit tick counter). Unaffected by changes of the wall-clock time. Starts on
/// construction.
class PosixIntervalTimer final : public IntervalTimer {
public:
    PosixIntervalTimer() noexcept;

    std::uint32_t elapsed() const override;
    std::uint32_t restart() override;

    /// The monotonic clock in ms, modulo 2^32.
    static std::uint32_t nowMs() noexcept;

private:
    std::uint32_t startMs_;
};

}  // namespace tessel
