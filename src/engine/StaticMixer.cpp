#include "engine/StaticMixer.h"

#include "support/Tolerance.h"

namespace tessel {

namespace {

bool isZero(float gainLinear) noexcept {
    return nearlyEqual(gainLinear, 0.0f);
}
bool isUnity(float gainLinear) noexcept {
    return nearlyEqual(gainLinear, 1.0f);
}

void assignScaled(float* __restrict out, const float* __restrict in, float g, float offset,
                  int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] * g + offset;
}

void assignOffset(float* __restrict out, const float* __restrict in, float offset,
                  int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] + offset;
}

void addScaled(float* __restrict out, const float* __restrict in, float g,
               int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] += in[i] * g;
}

void add(float* __restrict out, const float* __restrict in, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] += in[i];
}

}  // namespace

int32_t StaticMixer::addInput(wave::Producer* input, float gainLinear) {
    inputs_.push_back({gainLinear, input});
    return static_cast<int32_t>(inputs_.size()) - 1;
}

void StaticMixer::setInput(int32_t index, wave::Producer* input) noexcept {
    if (validIndex(index)) inputs_[static_cast<std::size_t>(index)].producer = input;
}

void StaticMixer::setGain(int32_t index, float gainLinear) noexcept {
    if (validIndex(index)) inputs_[static_cast<std::size_t>(index)].gainLinear = gainLinear;
}

wave::Producer* StaticMixer::input(int32_t index) const noexcept {
    return validIndex(index) ? inputs_[static_cast<std::size_t>(index)].producer : nullptr;
}

float StaticMixer::gain(int32_t index) const noexcept {
    return validIndex(index) ? inputs_[static_cast<std::size_t>(index)].gainLinear : 0.0f;
}

void StaticMixer::process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept {
    // First pass: pull the contributing inputs (cached for the cycle) and fold the constant ones
    // into one offset.
    int32_t contributing = 0;
    int32_t varying = 0;
    float offset = 0.0f;
    wave::BasicBlock<float>* firstBlock = nullptr;
    float firstGain = 0.0f;
    for (const Entry& e : inputs_) {
        if (e.producer == nullptr || isZero(e.gainLinear)) continue;
        wave::BasicBlock<float>* in = e.producer->pull(frames);
        if (contributing++ == 0) {
            firstBlock = in;
            firstGain = e.gainLinear;
        }
        if (in->isConstant()) {
            const float x = in->data()[0];
            offset += isUnity(e.gainLinear) ? x : x * e.gainLinear;
        } else {
            ++varying;
        }
    }
    if (contributing == 0) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    if (contributing == 1 && isUnity(firstGain)) {
        setOutputBlock(firstBlock);
        return;
    }
    if (varying == 0) {
        block->fillConstant(offset, frames);
        return;
    }

    float* out = block->data();
    bool first = true;
    for (const Entry& e : inputs_) {
        if (e.producer == nullptr || isZero(e.gainLinear)) continue;
        const wave::BasicBlock<float>* in = e.producer->pull(frames);
        if (in->isConstant()) continue;
        const bool unity = isUnity(e.gainLinear);
        if (first) {
            if (unity) {
                assignOffset(out, in->data(), offset, frames);
            } else {
                assignScaled(out, in->data(), e.gainLinear, offset, frames);
            }
            first = false;
        } else if (unity) {
            add(out, in->data(), frames);
        } else {
            addScaled(out, in->data(), e.gainLinear, frames);
        }
    }
    block->setConstant(false);
}

}  // namespace tessel
