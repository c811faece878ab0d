#pragma once

#include <cstdint>

namespace tessel::wave {

/// Reading a delay line: integer delay, one fractional delay per sample with linear
/// interpolation, or with first-order all-pass interpolation (flat magnitude, one float of state).
/// Delays are in samples relative to the block just written.
class AbstractDelay {
public:
    virtual void read(int32_t delay, float* out, int32_t frames) const noexcept = 0;
    virtual void readLinear(const float* delays, float* out, int32_t frames) const noexcept = 0;
    virtual void readAllpass(const float* delays, float* out, float& state,
                             int32_t frames) const noexcept = 0;
    virtual ~AbstractDelay() = default;
};

}  // namespace tessel::wave
