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
/// kept in decreasing order of value (a new peak replaces every smaller one). A block with a
/// steady hold of at most kDoublingHold samples is computed from the delay line alone, by doubling
/// windows (vectorised, no per-sample branches); the queue is rebuilt from the line when it is
/// needed again. A NaN input sample counts as magnitude 0; an infinite one is held like any other
/// peak.
/// Audio thread only; `filter` never allocates, locks or throws. `reset` re-sizes the delay line
/// and the queue when the sample rate changed (then it allocates); the environment calls it on
/// every rate change.
class PeakHold : public wave::Filter {
public:
    static constexpr float kMaximumHoldMs = 120.0f;
    /// Longest steady hold (samples) computed by doubling windows; the queue serves longer ones,
    /// where a pass per doubling would cost more than following the peaks.
    static constexpr int32_t kDoublingHold = 256;

    explicit PeakHold(wave::Environment* environment);

    /// Hold time, 0 .. 120 ms.
    FloatParameter& holdTimeMs() noexcept { return holdTimeMs_; }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void reset() override;

    /// Forgets the window as if the magnitude had been |value| all along: |value| stays the
    /// maximum for one hold time unless a larger one arrives. Constant time (no allocation, no
    /// pass over the window), for a channel that resumes after sharing a twin's result.
    /// [audio thread]
    void restartFrom(float value) noexcept;

    /// Longest hold in samples at the rate of the last reset.
    int32_t maximumHoldSamples() const noexcept { return maximumHoldSamples_; }
    int32_t queueCapacity() const noexcept { return mask_ + 1; }
    /// Queued peaks; 0 while doubling windows stand in for the queue.
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
    /// The block for a hold of `hold` samples throughout, from the magnitudes and the delayed
    /// magnitudes.
    void filterSteady(const float* m, const float* w, float* y, int32_t hold,
                      int32_t frames) noexcept;
    /// The block for a steady hold of at most kDoublingHold samples, from the delay line (which
    /// holds this block already); leaves the queue stale.
    void filterDoubling(const float* m, float* y, int32_t hold, int32_t frames) noexcept;
    /// Refills a stale queue with the peaks it would hold had it run all along, from the delay
    /// line's last staleHold_ + 2 samples before the current block of `frames` samples.
    void rebuildQueue(int32_t frames) noexcept;

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
    wave::BasicBlock<float> fallStarts_;
    // Set while doubling windows run instead of the queue, with the hold they last used.
    bool queueStale_ = false;
    int32_t staleHold_ = 0;
    // Two windows of the doubling passes: a chunk of kDoublingChunk samples and its history.
    static constexpr int32_t kDoublingChunk = 256;
    std::vector<float> windows_;
};

}  // namespace tessel
