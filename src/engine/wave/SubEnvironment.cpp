#include "engine/wave/SubEnvironment.h"

#include <algorithm>

#include "engine/wave/BasicBlock.h"

namespace tessel::wave {

SubEnvironment::SubEnvironment(Environment* parent, int32_t factor, int32_t maxBlockSize,
                               bool fixed)
    : Environment(fixed ? maxBlockSize : parent->maxBlockSize() * std::max(factor, 1), fixed),
      factor_(std::max(factor, 1)),
      parent_(parent) {
    // The base constructor created the owned blocks while this object was not yet a
    // sub-environment; a following sub-environment must track them like any other block.
    if (!fixed) {
        addMaxBlockSizeListener(zeroBlock_.get());
        addMaxBlockSizeListener(scratch_[0].get());
        addMaxBlockSizeListener(scratch_[1].get());
    }
    storeSampleRate(parent->sampleRate() * static_cast<float>(factor_));
    setDisplayActive(parent->displayActive());
    parent_->addSubEnvironment(this);
}

SubEnvironment::~SubEnvironment() {
    if (!parent_->shuttingDown()) parent_->removeSubEnvironment(this);
    // The owned blocks unregister through the base, which tracks nothing.
    listeners_.clear();
}

int32_t SubEnvironment::maxBlockSize() const {
    return isFixed() ? Environment::maxBlockSize() : parent_->maxBlockSize() * factor_;
}

void SubEnvironment::addMaxBlockSizeListener(DynamicMaxBlockSizeListener* listener) {
    if (!isFixed()) listeners_.push_back(listener);
}

void SubEnvironment::removeMaxBlockSizeListener(DynamicMaxBlockSizeListener* listener) {
    if (isFixed() || shuttingDown()) return;
    auto it = std::find(listeners_.begin(), listeners_.end(), listener);
    if (it != listeners_.end()) listeners_.erase(it);
}

void SubEnvironment::advance(int32_t frames, int32_t flags) noexcept {
    const int32_t subFrames = frames * factor_;
    advanceBy(subFrames, flags);
    for (SubEnvironment* sub : subEnvironments_)
        sub->advance(subFrames, flags);
}

void SubEnvironment::notifyMaxBlockSizeChanged() {
    if (isFixed()) return;
    for (DynamicMaxBlockSizeListener* listener : listeners_)
        listener->maxBlockSizeChanged();
    for (SubEnvironment* sub : subEnvironments_)
        sub->notifyMaxBlockSizeChanged();
    updateProcessingBlockSize();
}

void SubEnvironment::setFactor(int32_t factor) {
    factor = std::max(factor, 1);
    if (factor == factor_) return;
    factor_ = factor;
    notifyMaxBlockSizeChanged();
    parent_->updateProcessingBlockSize();
    if (storeSampleRate(parent_->sampleRate() * static_cast<float>(factor_))) {
        reset(kResetAll);
        fireSampleRateChanged();
    }
}

}  // namespace tessel::wave
