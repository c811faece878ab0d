#include "dynamics/ShelfBand.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "bands/CoefficientRefreshSchedule.h"
#include "support/Decibels.h"
#include "support/FastExp.h"
#include "support/FastLog.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kTwoPi = 6.283185307179586;
// Just short of Nyquist, so that tan(w / 2) stays finite.
constexpr double kMaxAngularFrequency = 3.1315928;
// Below this distance from unity a gain point needs no corner adjustment.
constexpr float kAdjustThreshold = 0.0001f;
constexpr float kButterworthShape = 0.70710677f;

float clampGain(float g) noexcept {
    // Written so that a NaN lands on the lower limit.
    g = g > ShelfBand::kMinimumGain ? g : ShelfBand::kMinimumGain;
    return g < ShelfBand::kMaximumGain ? g : ShelfBand::kMaximumGain;
}

// sqrt(v) for positive normal v in plain arithmetic, so that loops over it vectorise (std::sqrt
// keeps a libm call for errno): a bit-level estimate of 1 / sqrt(v), three Newton steps, times v.
// Within a few ulp of std::sqrt; 0 gives 0.
inline float squareRoot(float v) noexcept {
    const uint32_t bits = 0x5F3759DFu - (std::bit_cast<uint32_t>(v) >> 1);
    float r = std::bit_cast<float>(bits);
    const float half = 0.5f * v;
    r *= 1.5f - half * r * r;
    r *= 1.5f - half * r * r;
    r *= 1.5f - half * r * r;
    return v * r;
}

}  // namespace

ShelfBand::ShelfBand(wave::Environment* environment)
    : wave::Filter(environment),
      enabled_(this, true),
      upperLimit_(this, 16.0f),
      lowerLimit_(this, 0.0f),
      enableWeight_(environment, 1.0f),
      gain_(environment, 1.0f),
      lowerFrequency_(environment, 0.0f),
      upperFrequency_(environment, 16.0f),
      lowerSlope_(environment, 24.0f),
      upperSlope_(environment, 24.0f),
      lower_(kSectionsPerEdge, environment->maxBlockSize() + 2, environment->sampleRate()),
      upper_(kSectionsPerEdge, environment->maxBlockSize() + 2, environment->sampleRate()),
      lowerOut_(environment),
      processed_(environment),
      blockLower_(static_cast<std::size_t>(environment->maxBlockSize()) + 1),
      blockUpper_(blockLower_.size()),
      lowerSets_(blockLower_.size()),
      upperSets_(blockLower_.size()) {
    gain_.parameter().setLimits(kMinimumGain, kMaximumGain);
    lowerFrequency_.parameter().setLimits(0.0f, 16.0f);
    upperFrequency_.parameter().setLimits(0.0f, 16.0f);
    lowerSlope_.parameter().setLimits(kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave);
    upperSlope_.parameter().setLimits(kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave);
    environment->addResettable(this);
    invalidate();
}

ShelfBand::~ShelfBand() {
    setPartner(nullptr);
    if (follower_ != nullptr) follower_->partner_ = nullptr;
}

void ShelfBand::setPartner(ShelfBand* partner) noexcept {
    if (partner == this) partner = nullptr;
    if (partner_ != nullptr) {
        partner_->linkFollower(false);
        partner_->follower_ = nullptr;
    }
    partner_ = partner;
    if (partner_ == nullptr) return;
    if (partner_->follower_ != nullptr) partner_->follower_->setPartner(nullptr);
    partner_->follower_ = this;
    invalidate();
}

void ShelfBand::propertyChanged(AbstractProperty* property) {
    if (property == &enabled_) {
        enableWeight_.parameter().setValue(enabled_.get() ? 1.0f : 0.0f, -1.0f);
        return;
    }
    const float low = std::min(lowerLimit_.get(), upperLimit_.get());
    const float high = std::max(lowerLimit_.get(), upperLimit_.get());
    lowerFrequency_.parameter().setLimits(low, high);
    upperFrequency_.parameter().setLimits(low, high);
    designValid_ = false;
}

void ShelfBand::reset() {
    lower_.reset();
    upper_.reset();
    invalidate();
}

void ShelfBand::invalidate() noexcept {
    designValid_ = false;
    lastPointGain_ = kNaN;
}

ShelfBand::Controls ShelfBand::pullControls(int32_t frames) noexcept {
    Controls c;
    c.weight = enableWeight_.pull(frames);
    c.gain = gainInput_ != nullptr ? gainInput_->pull(frames) : gain_.source()->pull(frames);
    c.lowerFrequency = lowerFrequency_.source()->pull(frames);
    c.upperFrequency = upperFrequency_.source()->pull(frames);
    c.lowerSlope = lowerSlope_.source()->pull(frames);
    c.upperSlope = upperSlope_.source()->pull(frames);
    return c;
}

ShelfBand::Path ShelfBand::choosePath(const Controls& c) const noexcept {
    if (c.weight->isConstant() && nearlyEqual(c.weight->data()[0], 0.0f)) return Path::kBypass;
    if (c.gain->isConstant() && nearlyEqual(c.gain->data()[0], 1.0f)) return Path::kUnity;
    if (c.lowerFrequency->isConstant() && c.upperFrequency->isConstant() &&
        nearlyEqual(c.lowerFrequency->data()[0], lowerLimit_.get()) &&
        nearlyEqual(c.upperFrequency->data()[0], upperLimit_.get()))
        return Path::kWholeSpectrum;
    return Path::kFilter;
}

bool ShelfBand::sameControls(const Controls& mine, const ShelfBand& other, const Controls& theirs,
                             int32_t frames) const noexcept {
    const auto same = [frames](const wave::BasicBlock<float>* a, const wave::BasicBlock<float>* b) {
        if (a == b) return true;
        if (a->isConstant() && b->isConstant()) return nearlyEqual(a->data()[0], b->data()[0]);
        return std::memcmp(a->data(), b->data(), static_cast<std::size_t>(frames) * 4) == 0;
    };
    return lowerLimit_.get() == other.lowerLimit_.get() &&
           upperLimit_.get() == other.upperLimit_.get() && same(mine.gain, theirs.gain) &&
           same(mine.lowerFrequency, theirs.lowerFrequency) &&
           same(mine.upperFrequency, theirs.upperFrequency) &&
           same(mine.lowerSlope, theirs.lowerSlope) && same(mine.upperSlope, theirs.upperSlope);
}

void ShelfBand::linkFollower(bool link) noexcept {
    if (link == linked_) return;
    linked_ = link;
    if (link) {
        lower_.link(&follower_->lower_, BiquadProcessor::LinkKind::kStereoPair);
        upper_.link(&follower_->upper_, BiquadProcessor::LinkKind::kStereoPair);
    } else {
        lower_.unlink();
        upper_.unlink();
    }
}

void ShelfBand::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                       int32_t) noexcept {
    const uint32_t cycle = environment()->cycleNumber();
    if (partner_ != nullptr) {
        // The partner may compute this stage's output with its own; make sure it has run.
        partner_->pull(frames);
        if (sharedCycle_ == cycle) return;
    }
    const Controls c = pullControls(frames);
    const Path path = choosePath(c);
    ShelfBand* follower = follower_;
    bool share = false;
    Controls theirs{};
    if (follower != nullptr && path == Path::kFilter) {
        theirs = follower->pullControls(frames);
        share = follower->choosePath(theirs) == Path::kFilter &&
                sameControls(c, *follower, theirs, frames);
    }
    linkFollower(share);
    if (path != Path::kFilter) {
        runShortcut(path, c, in, out, frames);
        return;
    }
    schedule(c, frames);

    const float* w = c.weight->data();
    const bool fullyOn = c.weight->isConstant() && w[0] == 1.0f;
    float* processed = fullyOn ? out->data() : processed_.data();
    if (!share) {
        runCascades(in->data(), processed, nullptr, nullptr, frames);
    } else {
        wave::BasicBlock<float>* in1 = follower->pullInput(frames);
        wave::BasicBlock<float>* out1 = follower->ownBlock();
        const float* w1 = theirs.weight->data();
        const bool fullyOn1 = theirs.weight->isConstant() && w1[0] == 1.0f;
        float* processed1 = fullyOn1 ? out1->data() : follower->processed_.data();
        runCascades(in->data(), processed, in1->data(), processed1, frames);
        if (!fullyOn1) {
            const float* x = in1->data();
            float* y = out1->data();
            for (int32_t i = 0; i < frames; ++i)
                y[i] = x[i] + (processed1[i] - x[i]) * w1[i];
        }
        out1->setConstant(false);
        follower->setOutputBlock(out1);
        follower->invalidate();
        follower->lowerRan_ = lowerRan_;
        follower->sharedCycle_ = cycle;
        follower->markComputed();
        sharedCycle_ = cycle;
    }
    // The enable crossfade; a constant weight reads its first sample only.
    if (!fullyOn) {
        const float* x = in->data();
        float* y = out->data();
        if (c.weight->isConstant()) {
            const float w0 = w[0];
            for (int32_t i = 0; i < frames; ++i)
                y[i] = x[i] + (processed[i] - x[i]) * w0;
        } else {
            for (int32_t i = 0; i < frames; ++i)
                y[i] = x[i] + (processed[i] - x[i]) * w[i];
        }
    }
    out->setConstant(false);
    setOutputBlock(out);
}

void ShelfBand::runShortcut(Path path, const Controls& c, wave::BasicBlock<float>* in,
                            wave::BasicBlock<float>* out, int32_t frames) noexcept {
    lower_.reset();
    upper_.reset();
    lastPointGain_ = kNaN;
    if (path == Path::kUnity) designValid_ = false;
    if (path != Path::kWholeSpectrum) {
        setOutputBlock(in);
        return;
    }
    // The band covers everything: a plain gain, crossfaded by the enable weight.
    const float* x = in->data();
    const float* g = c.gain->data();
    const float* w = c.weight->data();
    float* y = out->data();
    if (c.gain->isConstant() && c.weight->isConstant()) {
        const float scale = 1.0f + (clampGain(g[0]) - 1.0f) * w[0];
        for (int32_t i = 0; i < frames; ++i)
            y[i] = x[i] * scale;
    } else {
        for (int32_t i = 0; i < frames; ++i)
            y[i] = x[i] + (x[i] * clampGain(g[i]) - x[i]) * w[i];
    }
    out->setConstant(in->isConstant() && c.gain->isConstant() && c.weight->isConstant());
    setOutputBlock(out);
}

void ShelfBand::schedule(const Controls& c, int32_t frames) noexcept {
    using Schedule = CoefficientRefreshSchedule;
    if (designedSampleRate_ != environment()->sampleRate()) designValid_ = false;
    pendingStart_ = 0;
    blockPoints_ = 0;
    pendingLower_ = &carriedLower_;
    pendingUpper_ = &carriedUpper_;
    lowerSections_ = designValid_ ? usedSections(lowerDesign_, false) : 1;
    upperSections_ = designValid_ ? usedSections(upperDesign_, true) : 1;
    lowerActiveInBlock_ = designValid_ && lowerDesign_.active;
    const float* lf = c.lowerFrequency->data();
    const float* uf = c.upperFrequency->data();
    const float* ls = c.lowerSlope->data();
    const float* us = c.upperSlope->data();
    const bool constant = c.lowerFrequency->isConstant() && c.upperFrequency->isConstant() &&
                          c.lowerSlope->isConstant() && c.upperSlope->isConstant();
    const float* gain = c.gain->data();
    const bool constantGain = c.gain->isConstant();
    int32_t cursor = 0;
    Schedule::walk(
        frames, constant, Schedule::kStep,
        [&](int32_t i) {
            if (!designValid_) return Schedule::Movement::kJumped;
            return Schedule::either(
                Schedule::either(Schedule::frequencyMovement(lf[i], lowerDesign_.frequencyOctaves),
                                 Schedule::frequencyMovement(uf[i], upperDesign_.frequencyOctaves)),
                Schedule::either(Schedule::valueMovement(ls[i], lowerDesign_.slopeDbPerOctave),
                                 Schedule::valueMovement(us[i], upperDesign_.slopeDbPerOctave)));
        },
        [&](int32_t i) { design(c, i); },
        [&](int32_t n) {
            convertGainPoints(gain, constantGain, cursor, n);
            cursor += n;
        });
    finishSchedule(frames);
}

void ShelfBand::design(const Controls& c, int32_t i) noexcept {
    const float lowerLimit = std::min(lowerLimit_.get(), upperLimit_.get());
    const float upperLimit = std::max(lowerLimit_.get(), upperLimit_.get());
    const float lf = c.lowerFrequency->data()[i];
    const float uf = c.upperFrequency->data()[i];
    designEdge(lowerDesign_, lf, c.lowerSlope->data()[i], lf > lowerLimit + kFloatTolerance);
    designEdge(upperDesign_, uf, c.upperSlope->data()[i], uf < upperLimit - kFloatTolerance);
    lowerActiveInBlock_ = lowerActiveInBlock_ || lowerDesign_.active;
    lowerSections_ = std::max(lowerSections_, usedSections(lowerDesign_, false));
    upperSections_ = std::max(upperSections_, usedSections(upperDesign_, true));

    // The corner adjustment: how far the band's peak falls short of its gain when the edges
    // overlap, and the corner values that put each edge's transition back where it belongs.
    CornerRule& r = cornerRule_;
    r.enabled = lowerDesign_.active && upperDesign_.active;
    if (r.enabled) {
        const double sl = lowerDesign_.slopeDbPerOctave;
        const double su = upperDesign_.slopeDbPerOctave;
        const double lnKl = std::log(static_cast<double>(lowerDesign_.corner));
        const double lnKu = std::log(static_cast<double>(upperDesign_.corner));
        const double rl = std::sqrt(sl / 6.0), ru = std::sqrt(su / 6.0);
        const double lnKc = (rl * lnKl + ru * lnKu) / (rl + ru);
        const double a = std::exp(lnKc * sl / 6.0), b = std::exp(lnKc * su / 6.0);
        const double cc = std::exp(lnKl * sl / 6.0), d = std::exp(lnKu * su / 6.0);
        const double e1 = 1.0 / (a + cc), e2 = 1.0 / (b + d);
        // X = ((g d + b) e2 a + cc) e1 is linear in g; kept as its two terms, which stay in
        // range for every corner and slope (the powers alone reach 1e-22 and 1e18).
        r.gainTerm = static_cast<float>(d * e2 * a * e1);
        r.constantTerm = static_cast<float>(b * e2 * a * e1 + cc * e1);
        const auto exponent = [](double s) {
            return s / 12.0 >= 1.0 ? s / 12.0 : std::sqrt(s / 12.0);
        };
        const double el = exponent(sl), eu = exponent(su);
        r.meanCorner = static_cast<float>(std::exp((el * lnKl + eu * lnKu) / (el + eu)));
        const double smin = std::min(sl, su), smax = std::max(sl, su);
        const double rho2 = (smax / smin) * (smax / smin);
        r.cutFloor = static_cast<float>(rho2 / (rho2 + 3.0));
        r.boostCeiling = static_cast<float>(1.5 * smin / smax + 1.0);
        r.boostShare = smin < 12.0 ? static_cast<float>((smin - 6.0) / 6.0) : 1.0f;
        r.headroom = 0.75f * std::max(lowerDesign_.delta, upperDesign_.delta) + 1.25f;
        r.smallerDelta = std::min(lowerDesign_.delta, upperDesign_.delta);
    }
    cornerMode_ = CornerMode::kGeneral;
    if (lowerDesign_.powerExponent == 1.0f && upperDesign_.powerExponent == 1.0f)
        cornerMode_ = lowerDesign_.rootExponent == upperDesign_.rootExponent
                          ? CornerMode::kUnitPowerSameRoot
                          : CornerMode::kUnitPower;
    // Sections of equal weight, on either edge, share their gain's exponential.
    GainSlots& slots = gainSlots_;
    slots.count = 0;
    for (EdgeDesign* edge : {&lowerDesign_, &upperDesign_}) {
        for (int32_t k = 0; k < edge->sectionCount; ++k) {
            const float exponent = 0.5f * edge->sections[k].weight * kDbToNeper;
            int32_t j = 0;
            while (j < slots.count && slots.exponent[j] != exponent)
                ++j;
            if (j == slots.count) slots.exponent[slots.count++] = exponent;
            edge->sections[k].gainSlot = j;
        }
    }
    designedSampleRate_ = environment()->sampleRate();
    designValid_ = true;
    lastPointGain_ = kNaN;  // the new design needs coefficients from this sample on
    ++designCount_;
}

void ShelfBand::designEdge(EdgeDesign& edge, float frequencyOctaves, float slopeDbPerOctave,
                           bool active) const noexcept {
    edge.frequencyOctaves = frequencyOctaves;
    edge.slopeDbPerOctave = slopeDbPerOctave;
    edge.active = active;
    const float s =
        std::clamp(slopeDbPerOctave, kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave);
    const ShelfSlopeTable::Row row = slopeTable_->lookup(s);
    const float a = row.a, b = row.b, c = row.c, d = row.d;
    Section* x = edge.sections;
    int32_t n = 0;
    const auto add = [&](int32_t order, float weight, double shape) {
        x[n].order = order;
        x[n].weight = weight;
        x[n].shape = shape;
        ++n;
    };
    if (s < 6.01f) {
        add(1, 1.0f - a, 0.0);
    } else if (s < 12.01f) {
        add(1, 1.0f - a, 0.0);
        add(1, a, 0.0);
    } else if (s < 23.99f) {
        add(2, 1.0f - b - a, c);
        add(s < 18.0f ? 1 : 2, b, kButterworthShape);
        add(1, a, 0.0);
    } else if (s <= 24.01f) {
        add(2, b, c);
        add(2, b, c);
    } else if (s < 36.01f) {
        add(2, b, c);
        add(2, b, c);
        add(2, 1.0f - 2.0f * b, 1.0f - a);
    } else {
        add(2, b, c);
        add(2, b, c);
        add(2, 1.0f - 2.0f * b - d, 1.0f - a);
        add(2, d, 1.0f - a);
    }
    edge.sectionCount = active ? n : 0;
    edge.denominatorCount = 0;
    for (int32_t k = 0; k < n; ++k) {
        int32_t j = 0;
        while (j < edge.denominatorCount &&
               (edge.denominatorOrder[j] != x[k].order || edge.denominatorShape[j] != x[k].shape))
            ++j;
        if (j == edge.denominatorCount) {
            edge.denominatorOrder[j] = x[k].order;
            edge.denominatorShape[j] = x[k].shape;
            ++edge.denominatorCount;
        }
        x[k].denominator = j;
        x[k].sameAs = -1;
        for (int32_t e = 0; e < k && x[k].sameAs < 0; ++e)
            if (x[e].order == x[k].order && x[e].weight == x[k].weight && x[e].shape == x[k].shape)
                x[k].sameAs = e;
    }
    const double hz = std::exp2(static_cast<double>(std::min(frequencyOctaves, upperLimit_.get())));
    const double w = std::min(kTwoPi * hz / environment()->sampleRate(), kMaxAngularFrequency);
    edge.corner = static_cast<float>(std::tan(0.5 * w));
    edge.delta = s < 12.01f ? d : 0.0f;
    edge.phi = (s >= 12.01f && s < 23.99f) || (s > 24.01f && s < 36.01f) ? d : 0.0f;
    edge.powerExponent = s < 12.0f ? edge.delta + 1.0f : 1.0f;
    edge.rootExponent = std::min(6.0f / s, 0.5f);
}

void ShelfBand::convertGainPoints(const float* gain, bool constantGain, int32_t from,
                                  int32_t n) noexcept {
    int32_t count = 0;
    // A constant block holds one value: only its first sample can make a point.
    const int32_t end = constantGain ? std::min(from + 1, from + n) : from + n;
    float last = lastPointGain_;
    for (int32_t i = from; i < end; ++i) {
        const float g = clampGain(gain[i]);
        if (std::fabs(g - last) <= kGainPointStep) continue;  // a NaN last always records
        last = g;
        pointIndex_[count] = i;
        pointGain_[count] = g;
        if (++count == kBatch) {
            computeBatch(count);
            pushBatch(count);
            count = 0;
        }
    }
    lastPointGain_ = last;
    if (count > 0) {
        computeBatch(count);
        pushBatch(count);
    }
}

template <ShelfBand::CornerMode Mode>
void ShelfBand::adjustCorners(int32_t count) noexcept {
    // Branch-free, so that the loop vectorises; the mode is fixed per design. A copy of the rule,
    // so that the stores below cannot alias it.
    const CornerRule r = cornerRule_;
    const float kl0 = lowerDesign_.corner, ku0 = upperDesign_.corner;
    const float lp = lowerDesign_.powerExponent, up = upperDesign_.powerExponent;
    const float lr = lowerDesign_.rootExponent, ur = upperDesign_.rootExponent;
    const float spread = 1.0f / (r.headroom - 1.1f);
    for (int32_t j = 0; j < count; ++j) {
        const float g = pointGain_[j];
        const float x = g * r.gainTerm + r.constantTerm;
        const float m = std::min(g, r.boostCeiling * x);
        const float adjusted = g < 1.0f ? std::max(g, r.cutFloor * x) : m + (g - m) * r.boostShare;
        const float ratio = x / g;
        const float q = ratio < 1.1f ? 1.1f : std::min(ratio, r.headroom);
        const float u = (q - 1.1f) * spread;
        const float t = r.smallerDelta * (1.0f - u) + u;
        const bool far = std::fabs(g - 1.0f) > kAdjustThreshold;
        const float gp = far ? adjusted : g;
        // ln g'; where g is too close to 1 to adjust, ln g, and the corners below stay put.
        const float lnGain = fastLog(gp);
        float dl, du, vl, vu;
        if constexpr (Mode == CornerMode::kGeneral) {
            const float lnRoot = 0.5f * fastLog(x * adjusted);  // ln sqrt(X g')
            const float yl = fastExp(lp * lnRoot), hl = fastExp(lp * lnGain);
            const float yu = fastExp(up * lnRoot), hu = fastExp(up * lnGain);
            dl = hl - yl;
            du = hu - yu;
            vl = (yl - 1.0f) / dl;
            vu = (yu - 1.0f) / du;
        } else {
            // Unit powers: both edges see sqrt(X g') against g'.
            const float y = squareRoot(x * adjusted);
            dl = du = gp - y;
            vl = vu = (y - 1.0f) / dl;
        }
        // Non-short-circuit '&': plain masks, no branches in the vector loop.
        const bool move = far & (t > 0.0f);
        const bool okl = move & (std::fabs(dl) > kFloatTolerance) & (vl > 0.0f);
        const bool oku = move & (std::fabs(du) > kFloatTolerance) & (vu > 0.0f);
        float pl, pu;
        if constexpr (Mode == CornerMode::kGeneral) {
            pl = fastExp(lr * fastLog(okl ? vl : 1.0f));
            pu = fastExp(ur * fastLog(oku ? vu : 1.0f));
        } else {
            const float lnV = fastLog(okl ? vl : 1.0f);  // okl == oku here
            pl = fastExp(lr * lnV);
            pu = Mode == CornerMode::kUnitPowerSameRoot ? pl : fastExp(ur * lnV);
        }
        const float kl = okl ? kl0 + (r.meanCorner / pl - kl0) * t : kl0;
        const float ku = oku ? ku0 + (r.meanCorner * pu - ku0) * t : ku0;
        pointDb_[j] = std::max(lnGain * kNeperToDb, kMinimumDb);
        lowerCorner_[j] = kl;
        upperCorner_[j] = ku;
    }
}

void ShelfBand::computeBatch(int32_t count) noexcept {
    gainPointCount_ += count;
    if (!cornerRule_.enabled) {
        for (int32_t j = 0; j < count; ++j) {
            pointDb_[j] = std::max(fastLog(pointGain_[j]) * kNeperToDb, kMinimumDb);
            lowerCorner_[j] = lowerDesign_.corner;
            upperCorner_[j] = upperDesign_.corner;
        }
    } else if (cornerMode_ == CornerMode::kUnitPowerSameRoot) {
        adjustCorners<CornerMode::kUnitPowerSameRoot>(count);
    } else if (cornerMode_ == CornerMode::kUnitPower) {
        adjustCorners<CornerMode::kUnitPower>(count);
    } else {
        adjustCorners<CornerMode::kGeneral>(count);
    }
    // The corners move with the level only in the slope ranges with a phi.
    const float lowerPhi = -lowerDesign_.phi / 30.0f, upperPhi = upperDesign_.phi / 30.0f;
    if (lowerPhi != 0.0f)
        for (int32_t j = 0; j < count; ++j)
            lowerCorner_[j] *= fastExp(pointDb_[j] * lowerPhi);
    if (upperPhi != 0.0f)
        for (int32_t j = 0; j < count; ++j)
            upperCorner_[j] *= fastExp(pointDb_[j] * upperPhi);
    // Section gain g = 10^(+-0.5 w G / 20); the section's shelf is g^2 = w G dB.
    for (int32_t s = 0; s < gainSlots_.count; ++s) {
        const float exponent = gainSlots_.exponent[s];
        float* gain = sectionGain_[s];
        float* cut = sectionCut_[s];
        for (int32_t j = 0; j < count; ++j) {
            gain[j] = fastExp(exponent * pointDb_[j]);
            cut[j] = 1.0f / gain[j];
        }
    }
    computeEdge(lowerDesign_, -1.0f, lowerCorner_, &blockLower_[blockPoints_], count);
    computeEdge(upperDesign_, 1.0f, upperCorner_, &blockUpper_[blockPoints_], count);
}

void ShelfBand::computeEdge(const EdgeDesign& edge, float sign, const float* corner, EdgeSet* out,
                            int32_t count) noexcept {
    int32_t used = edge.sectionCount;
    if (!edge.active) {
        // An edge at its limit has no sections. The upper one then lifts everything below the
        // top of the spectrum, which is a plain gain of the point's full amount.
        used = 0;
        if (sign > 0.0f) {
            for (int32_t j = 0; j < count; ++j)
                out[j].section[0] =
                    BiquadCoefficients{fastExp(pointDb_[j] * kDbToNeper), 0.0, 0.0, 0.0, 0.0};
            used = 1;
        }
        for (int32_t j = 0; j < count; ++j)
            for (int32_t k = used; k < kSectionsPerEdge; ++k)
                out[j].section[k] = BiquadCoefficients{};
        return;
    }
    for (int32_t s = 0; s < edge.denominatorCount; ++s) {
        double* reciprocal = reciprocal_[s];
        if (edge.denominatorOrder[s] == 1) {
            for (int32_t j = 0; j < count; ++j)
                reciprocal[j] = 1.0 / (static_cast<double>(corner[j]) + 1.0);
        } else {
            const double twoC = 2.0 * edge.denominatorShape[s];
            for (int32_t j = 0; j < count; ++j) {
                const double k = corner[j];
                reciprocal[j] = 1.0 / (1.0 + twoC * k + k * k);
            }
        }
    }
    for (int32_t s = 0; s < used; ++s) {
        const Section& section = edge.sections[s];
        if (section.sameAs >= 0) {
            for (int32_t j = 0; j < count; ++j)
                out[j].section[s] = out[j].section[section.sameAs];
            continue;
        }
        const float* gain = (sign < 0.0f ? sectionCut_ : sectionGain_)[section.gainSlot];
        const double* reciprocal = reciprocal_[section.denominator];
        if (section.order == 1) {
            // H(s) = (s + g^2 K) / (s + K)
            for (int32_t j = 0; j < count; ++j) {
                const double k = corner[j], inv = reciprocal[j];
                const double g = gain[j];
                const double zero = g * g * k;
                out[j].section[s] = BiquadCoefficients{(zero + 1.0) * inv, (zero - 1.0) * inv, 0.0,
                                                       (k - 1.0) * inv, 0.0};
            }
        } else {
            // H(s) = (s^2 + 2c gK s + (gK)^2) / (s^2 + 2cK s + K^2)
            const double twoC = 2.0 * section.shape;
            for (int32_t j = 0; j < count; ++j) {
                const double k = corner[j], inv = reciprocal[j];
                const double gk = gain[j] * k;
                const double gk2 = gk * gk, k2 = k * k;
                out[j].section[s] =
                    BiquadCoefficients{(1.0 + twoC * gk + gk2) * inv, (2.0 * gk2 - 2.0) * inv,
                                       (1.0 - twoC * gk + gk2) * inv, (2.0 * k2 - 2.0) * inv,
                                       (1.0 - twoC * k + k2) * inv};
            }
        }
    }
    for (int32_t j = 0; j < count; ++j)
        for (int32_t k = used; k < kSectionsPerEdge; ++k)
            out[j].section[k] = BiquadCoefficients{};
}

void ShelfBand::pushBatch(int32_t count) noexcept {
    for (int32_t j = 0; j < count; ++j) {
        std::fill(lowerSets_.begin() + pendingStart_, lowerSets_.begin() + pointIndex_[j],
                  pendingLower_->section);
        std::fill(upperSets_.begin() + pendingStart_, upperSets_.begin() + pointIndex_[j],
                  pendingUpper_->section);
        pendingStart_ = pointIndex_[j];
        pendingLower_ = &blockLower_[blockPoints_ + j];
        pendingUpper_ = &blockUpper_[blockPoints_ + j];
    }
    blockPoints_ += count;
}

void ShelfBand::finishSchedule(int32_t frames) noexcept {
    std::fill(lowerSets_.begin() + pendingStart_, lowerSets_.begin() + frames,
              pendingLower_->section);
    std::fill(upperSets_.begin() + pendingStart_, upperSets_.begin() + frames,
              pendingUpper_->section);
}

void ShelfBand::runCascades(const float* in0, float* out0, const float* in1, float* out1,
                            int32_t frames) noexcept {
    const bool pair = in1 != nullptr;
    const float* x0 = in0;
    const float* x1 = in1;
    if (lowerActiveInBlock_) {
        // A cascade switched off for a while has stale state: it comes back from silence.
        if (!lowerRan_) lower_.reset();
        float* y0 = lowerOut_.data();
        float* y1 = pair ? follower_->lowerOut_.data() : nullptr;
        if (pair) {
            lower_.runPairPerSample(lowerSets_.data(), lowerSections_, x0, y0, x1, y1, frames);
        } else {
            lower_.runPerSample(lowerSets_.data(), lowerSections_, x0, y0, frames);
        }
        x0 = y0;
        x1 = y1;
    }
    lowerRan_ = lowerActiveInBlock_;
    if (pair) {
        upper_.runPairPerSample(upperSets_.data(), upperSections_, x0, out0, x1, out1, frames);
    } else {
        upper_.runPerSample(upperSets_.data(), upperSections_, x0, out0, frames);
    }
    // The block's last sets carry over into the next (its storage is reused).
    if (pendingLower_ != &carriedLower_) carriedLower_ = *pendingLower_;
    if (pendingUpper_ != &carriedUpper_) carriedUpper_ = *pendingUpper_;
    pendingLower_ = &carriedLower_;
    pendingUpper_ = &carriedUpper_;
}

}  // namespace tessel
