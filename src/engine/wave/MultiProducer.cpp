#include "engine/wave/MultiProducer.h"

#include <algorithm>

namespace tessel::wave {

MultiProducer::Output::Output(MultiProducer* owner, int32_t index)
    : Producer(owner->environment(), false), owner_(owner), index_(index) {}

void MultiProducer::Output::process(BasicBlock<float>*, int32_t frames, int32_t mode) noexcept {
    MultiProducer& o = *owner_;
    const std::size_t n = o.outputs_.size();
    for (std::size_t i = 0; i < n; ++i)
        o.scratch_[i] = o.blocks_[i].get();
    o.process(o.scratch_.data(), frames, mode);
    for (std::size_t i = 0; i < n; ++i) {
        Output& out = *o.outputs_[i];
        out.setOutputBlock(o.scratch_[i]);
        out.markComputed();
    }
}

MultiProducer::MultiProducer(Environment* environment, int32_t outputCount)
    : Component(environment) {
    setOutputCount(outputCount);
}

MultiProducer::~MultiProducer() = default;

float MultiProducer::value(int32_t index) const noexcept {
    if (index < 0 || index >= outputCount()) return 0.0f;
    const BasicBlock<float>* b = outputs_[static_cast<std::size_t>(index)]->outputBlock();
    return b != nullptr && b->size() > 0 ? b->data()[0] : 0.0f;
}

void MultiProducer::setOutputCount(int32_t count) {
    const std::size_t n = static_cast<std::size_t>(count < 0 ? 0 : count);
    outputs_.resize(std::min(n, outputs_.size()));
    blocks_.resize(std::min(n, blocks_.size()));
    while (blocks_.size() < n) {
        blocks_.push_back(std::make_unique<BasicBlock<float>>(environment()));
        outputs_.push_back(std::make_unique<Output>(this, static_cast<int32_t>(outputs_.size())));
    }
    scratch_.assign(n, nullptr);
}

}  // namespace tessel::wave
