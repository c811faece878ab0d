#include "dynamics/MidSideStereoLinker.h"

#include <cmath>

#include "support/Tolerance.h"

namespace tessel {

MidSideStereoLinker::MidSideStereoLinker(wave::Environment* environment)
    : wave::MultiProducer(environment, 2), amount_(environment, 0.0f) {
    amount_.parameter().setLimits(0.0f, 1.0f);
}

bool MidSideStereoLinker::constantShortcut(float amount, const float* l, const float* r,
                                           wave::BasicBlock<float>** blocks,
                                           wave::BasicBlock<float>* left,
                                           wave::BasicBlock<float>* right,
                                           int32_t frames) noexcept {
    const bool magnitude = operation_.get() == LinkOperation::kMagnitude;
    float* out0 = blocks[0]->data();
    float* out1 = blocks[1]->data();
    if (nearlyEqual(amount, 0.0f)) {
        if (!magnitude) {  // independent signals: the inputs themselves
            blocks[0] = left;
            blocks[1] = right;
            return true;
        }
        for (int32_t i = 0; i < frames; ++i) {
            out0[i] = std::fabs(l[i]);
            out1[i] = std::fabs(r[i]);
        }
    } else if (nearlyEqual(amount, 0.5f)) {
        // Written as comparisons so that the loops vectorise (fmax is a library call).
        if (magnitude) {
            for (int32_t i = 0; i < frames; ++i) {
                const float a = std::fabs(l[i]), b = std::fabs(r[i]);
                out0[i] = b > a ? b : a;
            }
        } else {
            for (int32_t i = 0; i < frames; ++i)
                out0[i] = (l[i] + r[i]) * 0.5f;
        }
        blocks[1] = blocks[0];
    } else if (nearlyEqual(amount, 1.0f)) {
        const float sign = detectsSide() ? -1.0f : 1.0f;
        for (int32_t i = 0; i < frames; ++i) {
            const float v = (l[i] + sign * r[i]) * 0.5f;
            out0[i] = magnitude ? std::fabs(v) : v;
        }
        if (magnitude || !detectsSide()) {
            blocks[1] = blocks[0];
        } else {
            for (int32_t i = 0; i < frames; ++i)
                out1[i] = -out0[i];
        }
    } else {
        return false;
    }
    return true;
}

void MidSideStereoLinker::process(wave::BasicBlock<float>** blocks, int32_t frames,
                                  int32_t) noexcept {
    wave::BasicBlock<float>* left = wave::Producer::pullOrZero(left_, environment(), frames);
    wave::BasicBlock<float>* right = wave::Producer::pullOrZero(right_, environment(), frames);
    const wave::BasicBlock<float>* amountBlock = amount_.source()->pull(frames);
    const float* l = left->data();
    const float* r = right->data();
    const float* link = amountBlock->data();
    blocks[0]->setConstant(false);
    blocks[1]->setConstant(false);
    if (amountBlock->isConstant() && constantShortcut(link[0], l, r, blocks, left, right, frames))
        return;

    // The general per-sample rule: s = 2 * amount in 0..2, the two halves blended branch-free.
    float* out0 = blocks[0]->data();
    float* out1 = blocks[1]->data();
    const float sign = detectsSide() ? -1.0f : 1.0f;
    if (operation_.get() == LinkOperation::kMagnitude) {
        for (int32_t i = 0; i < frames; ++i) {
            const float s = 2.0f * link[i];
            const float a = std::fabs(l[i]), b = std::fabs(r[i]);
            const float m = b > a ? b : a;
            const float v = std::fabs((l[i] + sign * r[i]) * 0.5f);
            const float linked = m + (v - m) * (s - 1.0f);
            out0[i] = s < 1.0f ? a + (m - a) * s : linked;
            out1[i] = s < 1.0f ? b + (m - b) * s : linked;
        }
        return;
    }
    const bool side = detectsSide();
    for (int32_t i = 0; i < frames; ++i) {
        const float s = 2.0f * link[i];
        const float h = (l[i] + r[i]) * 0.5f;
        const float q = (l[i] - r[i]) * 0.5f;
        const float t = s - 1.0f;
        // Above full linking, Mid keeps the common part; Side blends it into +side and -side.
        const float upper0 = side ? h + (q - h) * t : h;
        const float upper1 = side ? h - (q + h) * t : h;
        out0[i] = s < 1.0f ? l[i] + (h - l[i]) * s : upper0;
        out1[i] = s < 1.0f ? r[i] + (h - r[i]) * s : upper1;
    }
}

}  // namespace tessel
