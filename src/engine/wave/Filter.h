#pragma once

#include <cstdint>

#include "engine/wave/Producer.h"

namespace tessel::wave {

/// A producer with one audio input (the consumer slot).
class FilterBase : public Producer, public Consumer {
public:
    explicit FilterBase(Environment* environment, bool createBlock = true)
        : Producer(environment, createBlock) {}

protected:
    /// The input's block for this cycle; the zero block when the input is unconnected.
    BasicBlock<float>* pullInput(int32_t frames) noexcept {
        return pullOrZero(input(), environment(), frames);
    }
};

/// A filter: each cycle pulls its input and computes `filter` from the input's block into its own
/// block (or re-points its output). Subclasses implement `filter`, which must honour constant
/// input blocks and must not allocate.
class Filter : public FilterBase {
public:
    explicit Filter(Environment* environment, bool createBlock = true)
        : FilterBase(environment, createBlock) {}

    void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override {
        filter(pullInput(frames), block, frames, mode);
    }

    virtual void filter(BasicBlock<float>* in, BasicBlock<float>* out, int32_t frames,
                        int32_t mode) noexcept = 0;
};

/// Passes its input's block on as its own output, without copying: a stable node identity whose
/// input can be re-wired behind it.
class Forwarder : public Filter {
public:
    explicit Forwarder(Environment* environment) : Filter(environment, false) {}

    void filter(BasicBlock<float>* in, BasicBlock<float>*, int32_t, int32_t) noexcept override {
        setOutputBlock(in);
        markComputed();
    }
};

}  // namespace tessel::wave
