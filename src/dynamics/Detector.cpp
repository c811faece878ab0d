#include "dynamics/Detector.h"

#include <bit>
#include <cmath>

#include "engine/DBConverter.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

constexpr float kLimiterRatio = 100.0f;

// The curve's settings with what does not depend on the level worked out: once per block when
// the controls hold still, per sample when they move (the same arithmetic either way).
struct Shape {
    float threshold;
    float slope;  // gain change per dB of overshoot: 1 - 1/ratio (1 at 100) or, below, ratio - 1
    float knee;
    float halfKnee;
    float kneeScale;  // 1 / knee, or 1 without a knee
    bool hasKnee;
    float range;
    float rangeKnee;
    float halfRangeKnee;
    float rangeKneeScale;
    bool hasRangeKnee;
};

inline Shape shapeOf(float threshold, float ratio, float knee, float range, float rangeKnee,
                     bool below) noexcept {
    Shape s;
    s.threshold = threshold;
    // 1 - 1/ratio rather than o - o/ratio: an infinite overshoot stays infinite and is clamped
    // to the range instead of turning into inf - inf.
    s.slope = below ? ratio - 1.0f : (ratio < kLimiterRatio ? 1.0f - 1.0f / ratio : 1.0f);
    s.knee = knee;
    s.halfKnee = 0.5f * knee;
    s.hasKnee = knee > kFloatTolerance;
    s.kneeScale = 1.0f / (s.hasKnee ? knee : 1.0f);
    s.range = range;
    s.rangeKnee = rangeKnee;
    s.halfRangeKnee = 0.5f * rangeKnee;
    s.hasRangeKnee = rangeKnee > kFloatTolerance;
    s.rangeKneeScale = 1.0f / (s.hasRangeKnee ? rangeKnee : 1.0f);
    return s;
}

// Every sample goes through this one inline rule; written with selects only, so that the block
// loops vectorise on baseline SSE2. A block whose shape has no knee (or no range knee) leaves
// that part out at compile time; the result is the same.
template <bool kBelow, bool kMayHaveKnee = true, bool kMayHaveRangeKnee = true>
inline float curve(float level, const Shape& s) noexcept {
    float g;
    const float h = s.halfKnee;
    if constexpr (!kBelow) {
        float o = level - s.threshold;
        if constexpr (kMayHaveKnee) {
            const float q = (o + h) * s.kneeScale;
            o = s.hasKnee && o >= -h && o <= h ? q * q * h : o;
        }
        g = o * s.slope;
    } else {
        const float o = s.threshold - level;
        float t = o - h;
        if constexpr (kMayHaveKnee) {
            const float q = o * s.kneeScale;
            t = s.hasKnee && o >= 0.0f && o <= s.knee ? q * q * h : t;
        }
        t = o < 0.0f ? 0.0f : t;
        g = t * s.slope;
    }
    if constexpr (kMayHaveRangeKnee) {
        const float hk = s.halfRangeKnee;
        const float d = s.range - g;
        const float qd = (d + hk) * s.rangeKneeScale;
        g = s.hasRangeKnee && d >= -hk && d <= hk ? s.range - qd * qd * hk : g;
    }
    // Clamp order chosen so that NaN ends at 0: both comparisons fail for NaN.
    g = g > 0.0f ? g : 0.0f;
    g = g < s.range ? g : s.range;
    return g;
}

inline float curve(float level, const Shape& s, bool below) noexcept {
    return below ? curve<true>(level, s) : curve<false>(level, s);
}

// Steady controls (the usual case). A linear input is taken to dB in a pass of its own: fused
// with the curve, the loop needs more registers than SSE2 has and runs at half the speed.
template <bool kBelow, bool kMayHaveKnee, bool kMayHaveRangeKnee>
void steadyBlock(const float* __restrict x, float* __restrict y, const Shape& shape,
                 int32_t frames) noexcept {
    const Shape s = shape;
    for (int32_t i = 0; i < frames; ++i)
        y[i] = curve<kBelow, kMayHaveKnee, kMayHaveRangeKnee>(x[i], s);
}

template <bool kBelow>
void steadyBlock(const float* x, float* y, const Shape& shape, int32_t frames) noexcept {
    if (shape.hasKnee && shape.hasRangeKnee) {
        steadyBlock<kBelow, true, true>(x, y, shape, frames);
    } else if (shape.hasKnee) {
        steadyBlock<kBelow, true, false>(x, y, shape, frames);
    } else if (shape.hasRangeKnee) {
        steadyBlock<kBelow, false, true>(x, y, shape, frames);
    } else {
        steadyBlock<kBelow, false, false>(x, y, shape, frames);
    }
}

// True when no sample of a linear block can ask for a gain change: every level at least
// 0.001 dB on the quiet side of where the curve starts (the knee's lower end above the
// threshold, the threshold itself below it), a margin the logarithm's error cannot cross. One
// pass for the loudest (above) or quietest (below) magnitude, NaN counting as silence. The
// magnitudes are compared as integers (their bit patterns order as the values do): a float
// comparison chain would not vectorise.
bool changesNothing(const float* x, int32_t frames, const Shape& s, bool below) noexcept {
    constexpr float kMarginDb = 0.001f;
    constexpr int32_t kInfinityBits = 0x7F800000;
    const auto magnitudeBits = [](float v) {
        const int32_t b = std::bit_cast<int32_t>(v) & 0x7FFFFFFF;
        return b > kInfinityBits ? 0 : b;  // NaN
    };
    if (!below) {
        int32_t loudest = 0;
        for (int32_t i = 0; i < frames; ++i) {
            const int32_t b = magnitudeBits(x[i]);
            loudest = b > loudest ? b : loudest;
        }
        return DBConverter::gainToDb(std::bit_cast<float>(loudest)) <=
               s.threshold - s.halfKnee - kMarginDb;
    }
    int32_t quietest = kInfinityBits;
    for (int32_t i = 0; i < frames; ++i) {
        const int32_t b = magnitudeBits(x[i]);
        quietest = b < quietest ? b : quietest;
    }
    return DBConverter::gainToDb(std::bit_cast<float>(quietest)) >= s.threshold + kMarginDb;
}

void levelBlock(const float* __restrict x, float* __restrict y, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        y[i] = DBConverter::gainToDb(x[i]);
}

// Moving controls: constant blocks hold their value in every sample, so one loop serves every
// combination.
template <bool kBelow>
void movingBlock(const float* __restrict x, float* __restrict y, const float* __restrict th,
                 const float* __restrict ra, const float* __restrict kn, const float* __restrict rg,
                 const float* __restrict rk, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        y[i] = curve<kBelow>(x[i], shapeOf(th[i], ra[i], kn[i], rg[i], rk[i], kBelow));
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
      purpose_(this, Purpose::kAboveThreshold),
      levels_(environment) {
    kneeDb_.setLimits(0.0f, 30.0f);
    rangeKneeDb_.setLimits(0.0f, 30.0f);
    rangeDb_.setLimits(0.0f, 180.0f);
    ratio_.setLimits(1.0f, 100.0f);
    thresholdDb_.setLimits(-180.0f, 180.0f);
}

float Detector::gainChangeDb(float levelDb, float thresholdDb, float ratio, float kneeDb,
                             float rangeDb, float rangeKneeDb, Purpose purpose) noexcept {
    const bool below = purpose == Purpose::kBelowThreshold;
    return curve(levelDb, shapeOf(thresholdDb, ratio, kneeDb, rangeDb, rangeKneeDb, below), below);
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

    const float* x = in->data();
    float* y = out->data();
    if (knee->isConstant() && rangeKnee->isConstant() && range->isConstant() &&
        ratioBlock->isConstant() && threshold->isConstant()) {
        const Shape shape = shapeOf(threshold->data()[0], ratioBlock->data()[0], knee->data()[0],
                                    range->data()[0], rangeKnee->data()[0], below);
        if (in->isConstant()) {
            const float level = linearInput_ ? DBConverter::gainToDb(x[0]) : x[0];
            out->fillConstant(curve(level, shape, below), frames);
            return;
        }
        // A block on the quiet side of the curve (silence, or a band resting below its
        // threshold) costs one pass instead of two.
        if (linearInput_ && changesNothing(x, frames, shape, below)) {
            setOutputBlock(environment()->zeroBlock());
            return;
        }
        if (linearInput_) {
            levelBlock(x, levels_.data(), frames);
            x = levels_.data();
        }
        if (below) {
            steadyBlock<true>(x, y, shape, frames);
        } else {
            steadyBlock<false>(x, y, shape, frames);
        }
        out->setConstant(false);
        return;
    }
    if (linearInput_) {
        levelBlock(x, levels_.data(), frames);
        x = levels_.data();
    }
    const float* th = threshold->data();
    const float* ra = ratioBlock->data();
    const float* kn = knee->data();
    const float* rg = range->data();
    const float* rk = rangeKnee->data();
    if (below) {
        movingBlock<true>(x, y, th, ra, kn, rg, rk, frames);
    } else {
        movingBlock<false>(x, y, th, ra, kn, rg, rk, frames);
    }
    out->setConstant(false);
}

}  // namespace tessel
