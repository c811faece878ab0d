#pragma once

#include <cstdint>
#include <vector>

#include "engine/FloatParameter.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Delay.h"
#include "engine/wave/Filter.h"

namespace tessel {

/// A sliding-window maximum of |input| over the last H + 1 samples, H = hold time (ms, 0 .. 120,
/// may change every sample) in samples. Three terms give the maximum: the current magnitude, the
/// magnitude H samples back (a delay line) and a queue of the local peaks still inside the window,
/// kept in decreasing order of value (a new peak replaces, by bisection, every smaller one).
/// A NaN input sample counts as magnitude 0; an infinite one is held like any other peak.
/// Audio thread only; `filter` never allocates, locks or throws. `reset` re-sizes the delay line
/// and the queue when the sample rate changed (then it allocates); the environment calls it on
/// every rate change.
class PeakHold : public wave::Filter {
public:
    static constexpr float kMaximumHoldMs = 120.0f;

    explicit PeakHold(wave::Environment* environment);

    /// Hold time, 0 .. 120 ms.
    FloatParameter& holdTimeMs() noexcept { return holdTimeMs_; }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void reset() override;

    /// Longest hold in samples at the rate of the last reset.
    int32_t maximumHoldSamples() const noexcept { return maximumHoldSamples_; }
    int32_t queueCapacity() const noexcept { return mask_ + 1; }
    int32_t queueCount() const noexcept { return count_; }

private:
    struct Peak {
        int64_t position;
        float value;
    };

    /// Adds a peak, dropping every queued one that it is not smaller than.
    void push(int64_t position, float value) noexcept;
    /// Drops peaks that left the window of `hold` samples ending at the current position and
    /// returns the largest remaining value (0 when none).
    float expire(int32_t hold) noexcept;
    int32_t holdSamples(float holdMs) const noexcept;

    FloatParameter holdTimeMs_;
    int32_t maximumHoldSamples_ = 0;
    wave::Delay delay_;
    std::vector<Peak> queue_;
    int32_t head_ = 0;
    int32_t count_ = 0;
    int32_t mask_ = 0;
    float previous_ = 0.0f;
    bool falling_ = false;
    int64_t position_ = 0;
    wave::BasicBlock<float> magnitudes_;
    wave::BasicBlock<float> delayed_;
};

}  // namespace tessel
