#include "engine/VolumeFilter.h"

#include <algorithm>

#include "support/Tolerance.h"

namespace tessel {

namespace {

void multiplyByConstant(float* __restrict out, const float* __restrict in, float k,
                        int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] * k;
}

void multiplyByBlock(float* __restrict out, const float* __restrict in, const float* __restrict g,
                     float k, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] * g[i] * k;
}

void multiplyByBlocks(float* __restrict out, const float* __restrict in, const float* __restrict g,
                      const float* __restrict g2, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = in[i] * g[i] * g2[i];
}

}  // namespace

VolumeFilter::VolumeFilter(wave::Environment* environment, float initialGainLinear)
    : wave::Filter(environment), gain_(environment, initialGainLinear) {
    gain_.parameter().setLimits(0.0f, gain_.parameter().maximum());
}

void VolumeFilter::setMaximumGain(float maximumLinear) noexcept {
    gain_.parameter().setLimits(0.0f, std::max(maximumLinear, 0.0f));
}

void VolumeFilter::process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept {
    // Mute and a settled zero gain are decided before the input is pulled: a silent stage does not
    // make its upstream compute.
    if (mute_ != nullptr && mute_->isMuted()) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    const wave::BasicBlock<float>* g = gain_.source()->pull(frames);
    if (g->isConstant() && nearlyEqual(g->data()[0], 0.0f)) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    filter(pullInput(frames), block, frames, mode);
}

void VolumeFilter::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                          int32_t) noexcept {
    const wave::BasicBlock<float>* g = gain_.source()->pull(frames);  // cached for this cycle
    const wave::BasicBlock<float>* g2 =
        secondGain_ != nullptr ? secondGain_->pull(frames) : nullptr;
    const bool gConstant = g->isConstant();
    const bool g2Constant = g2 == nullptr || g2->isConstant();
    const float gValue = g->data()[0];
    const float g2Value = g2 == nullptr ? 1.0f : g2->data()[0];

    if (gConstant && g2Constant) {
        const float k = gValue * g2Value;
        if (nearlyEqual(k, 0.0f)) {
            setOutputBlock(environment()->zeroBlock());
        } else if (nearlyEqual(gValue, 1.0f) && nearlyEqual(g2Value, 1.0f)) {
            setOutputBlock(in);
        } else if (in->isConstant()) {
            out->fillConstant(in->data()[0] * k, frames);
        } else {
            multiplyByConstant(out->data(), in->data(), k, frames);
            out->setConstant(false);
        }
        return;
    }
    if (gConstant) {
        multiplyByBlock(out->data(), in->data(), g2->data(), gValue, frames);
    } else if (g2Constant) {
        multiplyByBlock(out->data(), in->data(), g->data(), g2Value, frames);
    } else {
        multiplyByBlocks(out->data(), in->data(), g->data(), g2->data(), frames);
    }
    out->setConstant(false);
}

}  // namespace tessel
