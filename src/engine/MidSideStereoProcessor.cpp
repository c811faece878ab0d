#include "engine/MidSideStereoProcessor.h"

namespace tessel {

namespace {

using StereoLinkMode = StereoLinkInfo::StereoLinkMode;

// 10^(180 / 20): the stage gains reach +180 dB at most.
constexpr float kMaximumStageGain = 1e9f;

// k = max(2a - 1, 0), also limited to 1 so that an amount above 1 cannot overshoot unity; written
// with comparisons a NaN fails, so NaN gives 0.
inline float linkFactor(float a) noexcept {
    const float t = 2.0f * a - 1.0f;
    return t > 0.0f ? (t < 1.0f ? t : 1.0f) : 0.0f;
}

// The first gain moved towards unity by k.
inline float relaxed(float x1, float k) noexcept {
    return x1 + (1.0f - x1) * k;
}

void multiply(float* __restrict out, const float* __restrict g, const float* __restrict x,
              int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = g[i] * x[i];
}

void multiplyRelaxed(float* __restrict out, const float* __restrict g, const float* __restrict x1,
                     float k, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = g[i] * relaxed(x1[i], k);
}

int32_t countMidSide(const float* __restrict a, int32_t frames) noexcept {
    int32_t n = 0;
    for (int32_t i = 0; i < frames; ++i)
        n += a[i] >= MidSideStereoProcessor::kMidSideThreshold ? 1 : 0;
    return n;
}

// Every sample takes its own regime. ProcessSide: link modes 1 and 2 (side gets x1, mid gets y).
// Three short passes, with k and then y parked in the left output and x2 copied to the right one:
// GCC will not vectorise a loop in which float arithmetic or a load is needed on one path only (it
// folds the clamp constants of k into their own paths, and may not speculate what could trap), so
// each pass computes unconditionally and the last one only selects and multiplies.
template <bool ProcessSide>
void perSample(float* __restrict left, float* __restrict right, float* __restrict mid,
               float* __restrict side, const float* __restrict a, const float* __restrict x1,
               const float* __restrict x2, const float* __restrict m, const float* __restrict s,
               int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        left[i] = linkFactor(a[i]);
    for (int32_t i = 0; i < frames; ++i) {
        left[i] = relaxed(x1[i], left[i]);
        right[i] = x2[i];
    }
    for (int32_t i = 0; i < frames; ++i) {
        const bool ms = a[i] >= MidSideStereoProcessor::kMidSideThreshold;
        const float y = left[i];
        // In the left/right regime the stage gains multiply by exactly 1 (also for NaN/inf).
        const float midFactor = ms ? (ProcessSide ? y : x1[i]) : 1.0f;
        const float sideFactor = ms ? (ProcessSide ? x1[i] : y) : 1.0f;
        left[i] = ms ? 1.0f : x1[i];
        right[i] = ms ? 1.0f : right[i];
        mid[i] = m[i] * midFactor;
        side[i] = s[i] * sideFactor;
    }
}

}  // namespace

MidSideStereoProcessor::MidSideStereoProcessor(wave::Environment* environment)
    : wave::MultiProducer(environment, 4),
      midGain_(environment, 1.0f),
      sideGain_(environment, 1.0f),
      unity_(environment, 1.0f) {
    midGain_.parameter().setLimits(0.0f, kMaximumStageGain);
    sideGain_.parameter().setLimits(0.0f, kMaximumStageGain);
}

void MidSideStereoProcessor::process(wave::BasicBlock<float>** blocks, int32_t frames,
                                     int32_t) noexcept {
    const wave::BasicBlock<float>* a =
        link_ != nullptr ? link_->linkAmount()->pull(frames) : nullptr;
    wave::BasicBlock<float>* x1 = firstGain_ != nullptr ? firstGain_->pull(frames) : &unity_;
    wave::BasicBlock<float>* x2 = secondGain_ != nullptr ? secondGain_->pull(frames) : &unity_;
    wave::BasicBlock<float>* m = midGain_.source()->pull(frames);
    wave::BasicBlock<float>* s = sideGain_.source()->pull(frames);
    const StereoLinkMode mode = link_ != nullptr ? link_->stereoLinkMode() : StereoLinkMode::kMid;
    // Modes outside 0..3 behave like their nearest valid mode, which for both ends (0 and 3) is
    // the mid-processing group.
    const bool processSide =
        mode == StereoLinkMode::kSide || mode == StereoLinkMode::kMidDetectionSideProcessing;

    if (a == nullptr || a->isConstant()) {
        const float amount = a != nullptr ? a->data()[0] : 0.0f;
        if (!(amount >= kMidSideThreshold)) {
            blocks[kLeftGain] = x1;
            blocks[kRightGain] = x2;
            blocks[kMidGain] = m;
            blocks[kSideGain] = s;
            return;
        }
        blocks[kLeftGain] = &unity_;
        blocks[kRightGain] = &unity_;
        const float k = linkFactor(amount);
        // Each of mid and side is a stage gain times either x1 or y (which varies exactly when
        // x1 does): constant operands give a constant block computed once.
        wave::BasicBlock<float>* outputs[2] = {blocks[kMidGain], blocks[kSideGain]};
        const wave::BasicBlock<float>* gains[2] = {m, s};
        const bool useRelaxed[2] = {processSide, !processSide};
        for (int j = 0; j < 2; ++j) {
            if (gains[j]->isConstant() && x1->isConstant()) {
                const float x = x1->data()[0];
                outputs[j]->fillConstant(gains[j]->data()[0] * (useRelaxed[j] ? relaxed(x, k) : x),
                                         frames);
            } else {
                if (useRelaxed[j]) {
                    multiplyRelaxed(outputs[j]->data(), gains[j]->data(), x1->data(), k, frames);
                } else {
                    multiply(outputs[j]->data(), gains[j]->data(), x1->data(), frames);
                }
                outputs[j]->setConstant(false);
            }
        }
        return;
    }

    const int32_t midSideSamples = countMidSide(a->data(), frames);
    float* const out[4] = {blocks[0]->data(), blocks[1]->data(), blocks[2]->data(),
                           blocks[3]->data()};
    if (processSide) {
        perSample<true>(out[0], out[1], out[2], out[3], a->data(), x1->data(), x2->data(),
                        m->data(), s->data(), frames);
    } else {
        perSample<false>(out[0], out[1], out[2], out[3], a->data(), x1->data(), x2->data(),
                         m->data(), s->data(), frames);
    }
    for (int j = 0; j < 4; ++j)
        blocks[j]->setConstant(false);
    if (midSideSamples == frames) {
        blocks[kLeftGain] = &unity_;
        blocks[kRightGain] = &unity_;
    } else if (midSideSamples == 0) {
        blocks[kMidGain]->setConstant(m->isConstant());
        blocks[kSideGain]->setConstant(s->isConstant());
    }
}

}  // namespace tessel
