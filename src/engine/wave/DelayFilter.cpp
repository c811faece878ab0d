#include "engine/wave/DelayFilter.h"

#include <algorithm>

namespace tessel::wave {

DelayFilterBase::DelayFilterBase(Environment* environment, int32_t maximumDelay)
    : FilterBase(environment), delay_(environment, maximumDelay) {
    environment->addResettable(this);
}

void DelayFilterBase::setDelay(int32_t delaySamples) noexcept {
    delaySamples_ = std::clamp(delaySamples, 0, delay_.maximumDelay());
}

void DelayFilterBase::setMaximumDelay(int32_t maximumDelay) {
    delay_.setMaximumDelay(maximumDelay);
    setDelay(delaySamples_);
}

void DelayFilterBase::setWriteAhead() {
    writeAhead_ = true;
    environment()->addRoot(this, 0);
}

void DelayFilterBase::computeOutput(BasicBlock<float>* block, int32_t frames,
                                    int32_t mode) noexcept {
    Environment& env = *environment();
    const int64_t previous = writtenUpTo_;
    writtenUpTo_ = env.samplePosition() + frames;
    // A gap (not pulled last cycle) or a reset since the last write: the line holds stale audio.
    if (previous == env.discontinuityPosition() || previous != env.samplePosition()) delay_.clear();
    BasicBlock<float>* in = nullptr;
    if (!writeAhead_) {
        in = pullInput(frames);
        delay_.write(in->data(), frames);
        delay_.setReadBase(delay_.length());
    } else {
        // The current input is written at the end of the cycle, after this read.
        delay_.setReadBase(delay_.length() + frames);
    }
    readOrigin_ = delay_.readBase() - delaySamples_ - 1;
    filter(in, block, frames, mode);
}

void DelayFilterBase::process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept {
    if ((mode & 2) == 0) {
        computeOutput(block, frames, mode);
        return;
    }
    if (!writeAhead_) return;
    // Root run at the end of the cycle: produce the output if nobody pulled it, then write.
    if (!computedThisCycle()) {
        setOutputBlock(ownBlock());
        computeOutput(ownBlock(), frames, mode);
    }
    delay_.write(pullInput(frames)->data(), frames);
}

void DelayFilter::filter(BasicBlock<float>*, BasicBlock<float>* out, int32_t frames,
                         int32_t) noexcept {
    delay_.read(delay(), out->data(), frames);
    out->setConstant(false);
}

}  // namespace tessel::wave
