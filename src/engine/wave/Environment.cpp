#include "engine/wave/Environment.h"

#include <algorithm>
#include <cmath>

#include "engine/wave/BasicBlock.h"
#include "engine/wave/Producer.h"
#include "engine/wave/SubEnvironment.h"
#include "support/Tolerance.h"

namespace tessel::wave {

Environment::Environment(int32_t maxBlockSize, bool fixed)
    : maxBlockSize_(std::max(maxBlockSize, 1)), fixed_(fixed), processingBlockSize_(maxBlockSize_) {
    zeroBlock_ = std::make_unique<ConstValueBlock>(this, 0.0f);
    scratch_[0] = std::make_unique<BasicBlock<float>>(this);
    scratch_[1] = std::make_unique<BasicBlock<float>>(this);
}

Environment::~Environment() = default;

int32_t Environment::maxBlockSize() const {
    return maxBlockSize_;
}

void Environment::addMaxBlockSizeListener(DynamicMaxBlockSizeListener*) {}

void Environment::removeMaxBlockSizeListener(DynamicMaxBlockSizeListener*) {}

void Environment::beginCycle() noexcept {
    ++cycleNumber_;
    for (SubEnvironment* sub : subEnvironments_)
        sub->beginCycle();
}

void Environment::advance(int32_t frames, int32_t flags) noexcept {
    advanceBy(frames, flags);
    for (SubEnvironment* sub : subEnvironments_)
        sub->advance(frames, flags);
}

void Environment::advanceBy(int32_t frames, int32_t flags) noexcept {
    if ((flags & kSkipRootList) == 0) {
        // Index loop: the list does not change while it runs (producers never add or remove
        // roots from inside process), and the count is read once per entry anyway.
        for (std::size_t i = 0; i < rootList_.size(); ++i) {
            Producer* p = rootList_[i];
            const bool front = p->rootMode_ == 0;
            if (front || p->lastCycle_ != cycleNumber_) {
                if (p->lastCycle_ != cycleNumber_) p->outputBlock_ = p->ownBlock_.get();
                p->process(p->ownBlock_.get(), frames, front ? 2 : 1);
                p->lastCycle_ = cycleNumber_;
            }
        }
    }
    samplePosition_ += frames;
}

void Environment::reset(int32_t mode) {
    resetPosition_ = samplePosition_;
    if (mode != kResetPositionOnly) {
        discontinuityPosition_ = samplePosition_;
        for (Producer* p : resetList_) {
            if (mode == kResetAll || p->attached_) p->reset();
        }
        if (mode == kResetLocal) return;
    }
    for (SubEnvironment* sub : subEnvironments_)
        sub->reset(mode);
}

bool Environment::storeSampleRate(float sampleRate) noexcept {
    bool changed = !nearlyEqual(sampleRate, sampleRate_);
    sampleRate_ = sampleRate;
    for (SubEnvironment* sub : subEnvironments_) {
        changed |= sub->storeSampleRate(sampleRate * static_cast<float>(sub->factor()));
    }
    return changed;
}

void Environment::fireSampleRateChanged() {
    // Deeper environments first, so that a handler of this environment (the processor's rebuild)
    // sees nodes that already know their new rate.
    for (SubEnvironment* sub : subEnvironments_)
        sub->fireSampleRateChanged();
    sampleRateChanged_.fire(this);
}

void Environment::setSampleRate(float sampleRate) {
    if (!(sampleRate > 0.0f) || !std::isfinite(sampleRate)) return;  // not a rate: ignored
    const bool changed = !nearlyEqual(sampleRate, sampleRate_);
    storeSampleRate(sampleRate);
    if (!changed) return;
    resetPosition_ = samplePosition_;
    discontinuityPosition_ = samplePosition_;
    for (Producer* p : resetList_)
        p->reset();
    for (SubEnvironment* sub : subEnvironments_)
        sub->reset(kResetAll);
    fireSampleRateChanged();
}

void Environment::insertRoot(Producer* producer) {
    // Capacity for every producer of the environment is reserved, so the insert below never
    // reallocates when a producer is re-attached on the audio thread.
    if (rootList_.capacity() < static_cast<std::size_t>(producerCount_)) {
        rootList_.reserve(static_cast<std::size_t>(producerCount_));
    }
    switch (producer->rootMode_) {
        case 0:
            rootList_.insert(rootList_.begin(), producer);
            ++rootFrontCount_;
            break;
        case 1:
            rootList_.insert(rootList_.begin() + rootFrontCount_, producer);
            break;
        default:
            rootList_.push_back(producer);
            break;
    }
}

void Environment::removeRoot(Producer* producer) noexcept {
    auto it = std::find(rootList_.begin(), rootList_.end(), producer);
    if (it == rootList_.end()) return;
    if (it - rootList_.begin() < rootFrontCount_) --rootFrontCount_;
    rootList_.erase(it);
}

void Environment::addRoot(Producer* producer, int32_t where) {
    if (producer->inRootList_) removeRoot(producer);
    producer->rootMode_ = where;
    producer->inRootList_ = true;
    if (producer->attached_) insertRoot(producer);
}

void Environment::addResettable(Producer* producer) {
    if (producer->inResetList_) return;
    if (resetList_.capacity() < static_cast<std::size_t>(producerCount_)) {
        resetList_.reserve(static_cast<std::size_t>(producerCount_));
    }
    resetList_.push_back(producer);
    producer->inResetList_ = true;
}

void Environment::setAttached(Producer* producer, bool attached) {
    if (producer->attached_ == attached) return;
    producer->attached_ = attached;
    if (!attached) {
        removeRoot(producer);
        return;
    }
    if (producer->inRootList_) insertRoot(producer);
    if (producer->inResetList_) producer->reset();
}

void Environment::producerDestroyed(Producer* producer) noexcept {
    if (shuttingDown_) return;
    if (producer->inRootList_) removeRoot(producer);
    if (producer->inResetList_) {
        auto it = std::find(resetList_.begin(), resetList_.end(), producer);
        if (it != resetList_.end()) resetList_.erase(it);
    }
}

bool Environment::allSettled() const {
    for (const SubEnvironment* sub : subEnvironments_) {
        if (!sub->allSettled()) return false;
    }
    for (const Producer* p : resetList_) {
        if (!p->isSettled()) return false;
    }
    return true;
}

void Environment::setDisplayActive(bool active) noexcept {
    displayActive_ = active;
    for (SubEnvironment* sub : subEnvironments_)
        sub->setDisplayActive(active);
}

void Environment::setShuttingDown(bool shuttingDown) noexcept {
    shuttingDown_ = shuttingDown;
    for (SubEnvironment* sub : subEnvironments_)
        sub->setShuttingDown(shuttingDown);
}

void Environment::addSubEnvironment(SubEnvironment* sub) {
    subEnvironments_.push_back(sub);
    updateProcessingBlockSize();
}

void Environment::removeSubEnvironment(SubEnvironment* sub) noexcept {
    auto it = std::find(subEnvironments_.begin(), subEnvironments_.end(), sub);
    if (it != subEnvironments_.end()) subEnvironments_.erase(it);
    updateProcessingBlockSize();
}

void Environment::updateProcessingBlockSize() noexcept {
    // No sub-environment may ever run a cycle longer than its blocks.
    int32_t size = maxBlockSize();
    for (const SubEnvironment* sub : subEnvironments_) {
        size = std::min(size, sub->maxBlockSize() / sub->factor());
    }
    processingBlockSize_ = std::max(size, 1);
}

}  // namespace tessel::wave
