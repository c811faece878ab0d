#include "dynamics/Detector.h"

#include <cmath>

#include "support/Tolerance.h"

namespace tessel {

namespace {

constexpr float kLimiterRatio = 100.0f;

// Every sample goes through this one inline rule; written with selects only, so that the block
// loop below vectorises on baseline SSE2.
inline float curve(float level, float threshold, float ratio, float knee, float range,
                   float rangeKnee, bool below) noexcept {
    float g;
    const float h = 0.5f * knee;
    const bool hasKnee = knee > kFloatTolerance;
    if (!below) {
        float o = level - threshold;
        const float q = (o + h) / (hasKnee ? knee : 1.0f);
        o = hasKnee && o >= -h && o <= h ? q * q * h : o;
        // o * (1 - 1/ratio) rather than o - o/ratio: an infinite overshoot stays infinite and is
        // clamped to the range instead of turning into inf - inf.
        g = ratio < kLimiterRatio ? o * (1.0f - 1.0f / ratio) : o;
    } else {
        const float o = threshold - level;
        const float q = o / (hasKnee ? knee : 1.0f);
        float t = hasKnee && o >= 0.0f && o <= knee ? q * q * h : o - h;
        t = o < 0.0f ? 0.0f : t;
        g = t * (ratio - 1.0f);
    }
    const float hk = 0.5f * rangeKnee;
    const bool hasRangeKnee = rangeKnee > kFloatTolerance;
    const float d = range - g;
    const float qd = (d + hk) / (hasRangeKnee ? rangeKnee : 1.0f);
    g = hasRangeKnee && d >= -hk && d <= hk ? range - qd * qd * hk : g;
    // Clamp order chosen so that NaN ends at 0: both comparisons fail for NaN.
    g = g > 0.0f ? g : 0.0f;
    g = g < range ? g : range;
    return g;
}

}  // namespace

Detector::Detector(wave::Environment* environment)
    : wave::Filter(environment),
      gainChangeDomain_(this, GainChangeDomain::kDecibels),
      kneeDb_(environment, 0.0f),
      rangeKneeDb_(environment, 0.0f),
      rangeDb_(environment, 180.0f),
      ratio_(environment, 1.0f),
      thresholdDb_(environment, 0.0f),
      kneeStyle_(this, KneeStyle::kQuadratic),
      purpose_(this, Purpose::kAboveThreshold) {
    kneeDb_.setLimits(0.0f, 30.0f);
    rangeKneeDb_.setLimits(0.0f, 30.0f);
    rangeDb_.setLimits(0.0f, 180.0f);
    ratio_.setLimits(1.0f, 100.0f);
    thresholdDb_.setLimits(-180.0f, 180.0f);
}

float Detector::gainChangeDb(float levelDb, float thresholdDb, float ratio, float kneeDb,
                             float rangeDb, float rangeKneeDb, Purpose purpose) noexcept {
    return curve(levelDb, thresholdDb, ratio, kneeDb, rangeDb, rangeKneeDb,
                 purpose == Purpose::kBelowThreshold);
}

void Detector::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                      int32_t) noexcept {
    FloatParameter* controls[] = {&kneeDb_, &rangeKneeDb_, &rangeDb_, &ratio_, &thresholdDb_};
    for (FloatParameter* c : controls)
        c->catchUp(frames);
    const wave::BasicBlock<float>* ratioBlock = ratio_.valueBlock(frames);
    if (ratioBlock->isConstant() && nearlyEqual(ratioBlock->data()[0], 1.0f)) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    const wave::BasicBlock<float>* knee = kneeDb_.valueBlock(frames);
    const wave::BasicBlock<float>* rangeKnee = rangeKneeDb_.valueBlock(frames);
    const wave::BasicBlock<float>* range = rangeDb_.valueBlock(frames);
    const wave::BasicBlock<float>* threshold = thresholdDb_.valueBlock(frames);
    const bool below = purpose_.get() == Purpose::kBelowThreshold;

    if (in->isConstant() && knee->isConstant() && rangeKnee->isConstant() && range->isConstant() &&
        ratioBlock->isConstant() && threshold->isConstant()) {
        out->fillConstant(curve(in->data()[0], threshold->data()[0], ratioBlock->data()[0],
                                knee->data()[0], range->data()[0], rangeKnee->data()[0], below),
                          frames);
        return;
    }
    // Constant blocks hold their value in every sample, so one loop serves every combination.
    const float* __restrict x = in->data();
    const float* __restrict th = threshold->data();
    const float* __restrict ra = ratioBlock->data();
    const float* __restrict kn = knee->data();
    const float* __restrict rg = range->data();
    const float* __restrict rk = rangeKnee->data();
    float* __restrict y = out->data();
    if (below) {
        for (int32_t i = 0; i < frames; ++i)
            y[i] = curve(x[i], th[i], ra[i], kn[i], rg[i], rk[i], true);
    } else {
        for (int32_t i = 0; i < frames; ++i)
            y[i] = curve(x[i], th[i], ra[i], kn[i], rg[i], rk[i], false);
    }
    out->setConstant(false);
}

}  // namespace tessel
