#pragma once

#include <cstdint>

#include "engine/wave/Delay.h"
#include "engine/wave/Filter.h"

namespace tessel::wave {

/// A filter around a delay line, for latency compensation and lookahead. Each pull writes the
/// input into the line and `filter` reads the delayed block. A filter that was not pulled in the
/// previous cycle, or whose environment was reset since, clears its line first, so it outputs
/// silence rather than stale audio for the first `delay` samples after it resumes.
///
/// Write-ahead mode reads first and writes the current input later in the cycle (the filter then
/// sits at the front of the root list): a delay of at least one block may then sit in a path
/// whose input depends on its own output. Audio thread only; never allocates while running.
class DelayFilterBase : public FilterBase {
public:
    DelayFilterBase(Environment* environment, int32_t maximumDelay);

    void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    virtual void filter(BasicBlock<float>* in, BasicBlock<float>* out, int32_t frames,
                        int32_t mode) noexcept = 0;
    void reset() override { delay_.clear(); }

    /// Sets the delay in samples, clamped to [0, maximum delay].
    void setDelay(int32_t delaySamples) noexcept;
    /// Resizes the line for a new maximum (clamping the delay) and clears it.
    void setMaximumDelay(int32_t maximumDelay);
    /// Switches write-ahead on and places the filter at the front of the root list.
    void setWriteAhead();

    int32_t delay() const noexcept { return delaySamples_; }
    int32_t maximumDelay() const noexcept { return delay_.maximumDelay(); }
    bool writeAhead() const noexcept { return writeAhead_; }
    /// Read base minus delay minus 1: ring index origin for custom reads in subclasses.
    int32_t readOrigin() const noexcept { return readOrigin_; }
    const Delay& line() const noexcept { return delay_; }

protected:
    Delay delay_;

private:
    void computeOutput(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept;

    int32_t delaySamples_ = 0;
    int32_t readOrigin_ = 0;
    bool writeAhead_ = false;
    int64_t writtenUpTo_ = 0;
};

/// A plain delay: the output is the input delayed by an integer number of samples.
class DelayFilter : public DelayFilterBase {
public:
    using DelayFilterBase::DelayFilterBase;

    void filter(BasicBlock<float>* in, BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
};

}  // namespace tessel::wave
