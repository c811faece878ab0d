#include "engine/wave/Producer.h"

namespace tessel::wave {

Producer::Producer(Environment* environment, bool createBlock)
    : Component(environment),
      ownBlock_(createBlock ? std::make_unique<BasicBlock<float>>(environment) : nullptr),
      // One behind the current cycle: a producer created mid-run computes on its first pull.
      lastCycle_(environment->cycleNumber() - 1u),
      outputBlock_(ownBlock_.get()) {
    environment->producerConstructed();
}

Producer::~Producer() {
    environment()->producerDestroyed(this);
}

float Producer::value() const noexcept {
    return outputBlock_ != nullptr && outputBlock_->size() > 0 ? outputBlock_->data()[0] : 0.0f;
}

BasicBlock<float>* Producer::pullOrZero(Producer* p, Environment* environment,
                                        int32_t frames) noexcept {
    if (p == nullptr) return environment->zeroBlock();
    return p->pull(frames);
}

void Producer::setAttached(bool attached) {
    environment()->setAttached(this, attached);
}

}  // namespace tessel::wave
