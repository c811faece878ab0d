#include "engine/Router.h"

#include <algorithm>

#include "support/Tolerance.h"

namespace tessel {

namespace {

void assignWeighted(float* __restrict out, const float* __restrict in, const float* __restrict w,
                    int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] * w[i];
}

void addWeighted(float* __restrict out, const float* __restrict in, const float* __restrict w,
                 int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] += in[i] * w[i];
}

void add(float* __restrict out, const float* __restrict in, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] += in[i];
}

void assignScaled(float* __restrict out, const float* __restrict in, float w,
                  int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] * w;
}

void addScaled(float* __restrict out, const float* __restrict in, float w,
               int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] += in[i] * w;
}

}  // namespace

Router::~Router() = default;

int32_t Router::addInput(wave::Producer* input) {
    const int32_t index = static_cast<int32_t>(entries_.size());
    entries_.push_back(
        std::make_unique<Entry>(environment(), index == selected_.get() ? 1.0f : 0.0f));
    entries_.back()->producer = input;
    return index;
}

void Router::setInput(int32_t index, wave::Producer* input) noexcept {
    if (index >= 0 && index < inputCount())
        entries_[static_cast<std::size_t>(index)]->producer = input;
}

wave::Producer* Router::input(int32_t index) const noexcept {
    if (index < 0 || index >= inputCount()) return nullptr;
    return entries_[static_cast<std::size_t>(index)]->producer;
}

const FloatParameter* Router::weight(int32_t index) const noexcept {
    if (index < 0 || index >= inputCount()) return nullptr;
    return &entries_[static_cast<std::size_t>(index)]->weight;
}

void Router::propertyChanged(AbstractProperty* property) {
    // Re-assigning from inside the handler notifies again with the corrected value.
    if (property == &selected_) {
        const int32_t highest = std::max(inputCount() - 1, 0);
        if (selected_.get() < 0) {
            selected_ = 0;
        } else if (selected_.get() > highest) {
            selected_ = highest;
        } else {
            select(selected_.get());
        }
    } else if (property == &switchTimeMs_) {
        if (!(switchTimeMs_.get() >= 0.0f)) switchTimeMs_ = 0.0f;
    }
}

void Router::select(int32_t index) noexcept {
    const float timeMs = switchTimeMs_.get();
    for (int32_t i = 0; i < inputCount(); ++i) {
        entries_[static_cast<std::size_t>(i)]->weight.setValue(i == index ? 1.0f : 0.0f, timeMs);
    }
    passThrough_ = -1;
}

void Router::process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept {
    if (passThrough_ >= 0) {
        setOutputBlock(pullOrZero(entries_[static_cast<std::size_t>(passThrough_)]->producer,
                                  environment(), frames));
        return;
    }

    float* out = block->data();
    int32_t contributing = 0;
    bool written = false;
    // An entry at weight 1 is remembered rather than copied: if it turns out to be the only
    // contributor it becomes the pass-through input.
    int32_t unityIndex = -1;
    wave::BasicBlock<float>* unityBlock = nullptr;
    for (int32_t i = 0; i < inputCount(); ++i) {
        Entry& e = *entries_[static_cast<std::size_t>(i)];
        e.weight.catchUp(frames);
        const wave::BasicBlock<float>* w = e.weight.valueBlock(frames);
        const bool wConstant = w->isConstant();
        if (wConstant && nearlyEqual(w->data()[0], 0.0f)) continue;
        wave::BasicBlock<float>* in = pullOrZero(e.producer, environment(), frames);
        ++contributing;
        if (wConstant && nearlyEqual(w->data()[0], 1.0f) && unityIndex < 0) {
            unityIndex = i;
            unityBlock = in;
            continue;
        }
        if (wConstant && written) {
            addScaled(out, in->data(), w->data()[0], frames);
        } else if (wConstant) {
            assignScaled(out, in->data(), w->data()[0], frames);
        } else if (written) {
            addWeighted(out, in->data(), w->data(), frames);
        } else {
            assignWeighted(out, in->data(), w->data(), frames);
        }
        written = true;
    }

    if (contributing == 0) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    if (unityIndex >= 0) {
        if (contributing == 1) {
            passThrough_ = unityIndex;
            setOutputBlock(unityBlock);
            return;
        }
        // Another entry was written (contributing > 1), so the unity input adds to it.
        add(out, unityBlock->data(), frames);
    }
    block->setConstant(false);
}

}  // namespace tessel
