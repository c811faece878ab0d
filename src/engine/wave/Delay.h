#pragma once

#include <cstdint>

#include "engine/wave/AbstractDelay.h"
#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/Component.h"
#include "engine/wave/DynamicMaxBlockSizeListener.h"

namespace tessel::wave {

/// A delay line: a ring of N samples, N the smallest power of two not below the maximum block
/// size plus the maximum delay, so wrapping is a mask. Reads address samples relative to the
/// write position plus a read base: with read base N, a read after the current block was written
/// returns the input delayed by exactly `delay` samples. Samples not written since the last clear
/// read as 0.0, never as stale data. Fractional delays are clamped to [0, maximum delay] and a
/// NaN delay counts as 0. Audio thread only; reads and writes never allocate; changing the
/// maximum delay or the block size reallocates the ring.
class Delay : public Component, public AbstractDelay, private DynamicMaxBlockSizeListener {
public:
    Delay(Environment* environment, int32_t maximumDelay);
    ~Delay() override;

    void read(int32_t delay, float* out, int32_t frames) const noexcept override;
    void readLinear(const float* delays, float* out, int32_t frames) const noexcept override;
    /// The all-pass reader keeps its state in `state`; a state that became NaN or infinite (from
    /// a faulty input) is cleared at the end of the block so that the fault does not live forever.
    void readAllpass(const float* delays, float* out, float& state,
                     int32_t frames) const noexcept override;

    void write(const float* samples, int32_t frames) noexcept;
    /// Forgets everything written: every read returns silence until new samples arrive.
    void clear() noexcept;
    /// Resizes the ring for a new maximum delay and clears it.
    void setMaximumDelay(int32_t maximumDelay);

    int32_t maximumDelay() const noexcept { return maximumDelay_; }
    int32_t length() const noexcept { return mask_ + 1; }
    int32_t fillCount() const noexcept { return fillCount_; }
    int32_t writeIndex() const noexcept { return writeIndex_; }
    int32_t readBase() const noexcept { return readBase_; }
    void setReadBase(int32_t readBase) noexcept { readBase_ = readBase; }

private:
    void maxBlockSizeChanged() override;
    int32_t ringLength() const;
    float sampleAt(int32_t index) const noexcept {
        const int32_t i = index & mask_;
        return i < fillCount_ ? ring_[i] : 0.0f;
    }
    float clampDelay(float d) const noexcept {
        const float maxDelay = static_cast<float>(maximumDelay_);
        return d >= 0.0f ? (d <= maxDelay ? d : maxDelay) : 0.0f;  // NaN fails both tests: 0
    }

    AlignedBuffer<float> ring_;
    int32_t mask_ = 0;
    int32_t maximumDelay_ = 0;
    int32_t fillCount_ = 0;
    int32_t readBase_ = 0;
    int32_t writeIndex_ = 0;
};

}  // namespace tessel::wave
