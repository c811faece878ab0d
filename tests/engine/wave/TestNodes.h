#pragma once

#include <cstdint>
#include <vector>

#include "engine/wave/Filter.h"
#include "engine/wave/Producer.h"

namespace tessel::wave::test {

/// Outputs the running sample index (position within the stream, starting at `offset`), and
/// counts its process calls and resets.
class CountingSource : public Source {
public:
    explicit CountingSource(Environment* environment, float offset = 1.0f)
        : Source(environment), next_(offset) {}

    void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override {
        ++calls;
        lastMode = mode;
        for (int32_t i = 0; i < frames; ++i)
            block->data()[i] = next_++;
        block->setConstant(false);
    }
    void reset() override { ++resets; }
    bool isSettled() const override { return settled; }

    int calls = 0;
    int resets = 0;
    int32_t lastMode = -1;
    bool settled = true;

private:
    float next_;
};

/// Outputs samples taken from a vector, in order, then zeros.
class VectorSource : public Source {
public:
    VectorSource(Environment* environment, std::vector<float> samples)
        : Source(environment), samples_(std::move(samples)) {}

    void process(BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        for (int32_t i = 0; i < frames; ++i) {
            block->data()[i] = position_ < samples_.size() ? samples_[position_] : 0.0f;
            ++position_;
        }
        block->setConstant(false);
    }

private:
    std::vector<float> samples_;
    std::size_t position_ = 0;
};

/// Doubles its input and counts calls.
class DoublingFilter : public Filter {
public:
    using Filter::Filter;
    void filter(BasicBlock<float>* in, BasicBlock<float>* out, int32_t frames,
                int32_t) noexcept override {
        ++calls;
        for (int32_t i = 0; i < frames; ++i)
            out->data()[i] = 2.0f * in->data()[i];
        out->setConstant(in->isConstant());
    }
    int calls = 0;
};

}  // namespace tessel::wave::test
