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
// The largest level of a gain point in dB (the gain's limit 1000), and the largest exponent a
// section gain may be derived over by a third-order series instead of an exponential.
constexpr float kMaximumPointDb = 60.0f;
constexpr float kSeriesRange = 0.01f;
constexpr double kHuge = 1e30;  // a gain bound that no gain reaches

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

// An edge frequency within the limits; a NaN puts the edge at its own limit (no sections).
float edgeFrequency(float octaves, float low, float high, bool upper) noexcept {
    if (!(octaves == octaves)) return upper ? high : low;
    return std::clamp(octaves, low, high);
}

// A slope within 6..48 dB/oct; a NaN lands on the lower limit.
float edgeSlope(float slopeDbPerOctave) noexcept {
    const float s = slopeDbPerOctave > ShelfBand::kMinimumSlopeDbPerOctave
                        ? slopeDbPerOctave
                        : ShelfBand::kMinimumSlopeDbPerOctave;
    return s < ShelfBand::kMaximumSlopeDbPerOctave ? s : ShelfBand::kMaximumSlopeDbPerOctave;
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
      processed_(environment) {
    gain_.parameter().setLimits(kMinimumGain, kMaximumGain);
    lowerFrequency_.parameter().setLimits(0.0f, 16.0f);
    upperFrequency_.parameter().setLimits(0.0f, 16.0f);
    lowerSlope_.parameter().setLimits(kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave);
    upperSlope_.parameter().setLimits(kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave);
    for (EdgeTables* t : {&lowerTables_, &upperTables_}) {
        t->unitFrom = kSectionsPerEdge;
        clearSections(*t, 0);
    }
    environment->addResettable(this);
    invalidate();
}

void ShelfBand::clearSections(EdgeTables& t, int32_t from) noexcept {
    for (int32_t p = 0; p <= kBatch; ++p) {
        for (int32_t k = from; k < t.unitFrom; ++k) {
            t.numerators[p][k][0] = 1.0;
            t.numerators[p][k][1] = t.numerators[p][k][2] = 0.0;
            t.denominators[p][k][0] = t.denominators[p][k][1] = 0.0;
        }
    }
    t.unitFrom = std::min(t.unitFrom, from);
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
    lowerRan_ = upperRan_ = false;
    history_[0] = history_[1] = 0.0f;
    invalidate();
}

void ShelfBand::invalidate() noexcept {
    designValid_ = false;
    lastPointGain_ = kNaN;
}

void ShelfBand::remember(const float* input, int32_t frames) noexcept {
    if (frames <= 0) return;
    const float previous = frames >= 2 ? input[frames - 2] : history_[0];
    history_[0] = std::isfinite(input[frames - 1]) ? input[frames - 1] : 0.0f;
    history_[1] = std::isfinite(previous) ? previous : 0.0f;
}

ShelfBand::Controls ShelfBand::pullControls(int32_t frames) noexcept {
    Controls c;
    c.weight = enableWeight_.pull(frames);
    // A stage switched off passes its input on: its gain (for a band, the whole detection and
    // compander behind it) and its edges are not pulled, so a band out of use costs nothing.
    if (c.weight->isConstant() && nearlyEqual(c.weight->data()[0], 0.0f)) return c;
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
        remember(in->data(), frames);
        return;
    }

    const float* w = c.weight->data();
    const bool fullyOn = c.weight->isConstant() && w[0] == 1.0f;
    Channels io;
    io.stage[0] = this;
    io.input[0] = in->data();
    io.processed[0] = fullyOn ? out->data() : processed_.data();
    wave::BasicBlock<float>* in1 = nullptr;
    wave::BasicBlock<float>* out1 = nullptr;
    const float* w1 = nullptr;
    bool fullyOn1 = true;
    if (share) {
        in1 = follower->pullInput(frames);
        out1 = follower->ownBlock();
        w1 = theirs.weight->data();
        fullyOn1 = theirs.weight->isConstant() && w1[0] == 1.0f;
        io.count = 2;
        io.stage[1] = follower;
        io.input[1] = in1->data();
        io.processed[1] = fullyOn1 ? out1->data() : follower->processed_.data();
    }
    schedule(c, io, frames);

    if (share) {
        if (!fullyOn1) {
            const float* x = in1->data();
            const float* processed1 = io.processed[1];
            float* y = out1->data();
            for (int32_t i = 0; i < frames; ++i)
                y[i] = x[i] + (processed1[i] - x[i]) * w1[i];
        }
        out1->setConstant(false);
        follower->setOutputBlock(out1);
        follower->invalidate();
        follower->remember(in1->data(), frames);
        follower->sharedCycle_ = cycle;
        follower->markComputed();
        sharedCycle_ = cycle;
    }
    // The enable crossfade; a constant weight reads its first sample only.
    if (!fullyOn) {
        const float* x = in->data();
        const float* processed = io.processed[0];
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
    remember(in->data(), frames);
    out->setConstant(false);
    setOutputBlock(out);
}

void ShelfBand::runShortcut(Path path, const Controls& c, wave::BasicBlock<float>* in,
                            wave::BasicBlock<float>* out, int32_t frames) noexcept {
    // The cascades pause; an edge that resumes continues from the signal that went around it.
    lowerRan_ = upperRan_ = false;
    lastPointGain_ = kNaN;
    plainGain_ = 1.0f;
    if (path == Path::kUnity) designValid_ = false;
    if (path != Path::kWholeSpectrum) {
        setOutputBlock(in);
        return;
    }
    if (frames > 0) plainGain_ = clampGain(c.gain->data()[frames - 1]);
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

void ShelfBand::schedule(const Controls& c, const Channels& io, int32_t frames) noexcept {
    using Schedule = CoefficientRefreshSchedule;
    if (designedSampleRate_ != environment()->sampleRate()) designValid_ = false;
    segmentStart_ = 0;
    points_ = 0;
    const float lowerLimit = std::min(lowerLimit_.get(), upperLimit_.get());
    const float upperLimit = std::max(lowerLimit_.get(), upperLimit_.get());
    const float* lf = c.lowerFrequency->data();
    const float* uf = c.upperFrequency->data();
    const float* ls = c.lowerSlope->data();
    const float* us = c.upperSlope->data();
    const bool constant = c.lowerFrequency->isConstant() && c.upperFrequency->isConstant() &&
                          c.lowerSlope->isConstant() && c.upperSlope->isConstant();
    const float* gain = c.gain->data();
    const bool constantGain = c.gain->isConstant();
    int32_t cursor = 0;
    // Without a valid design (the first block, a new rate, the return from the unity path) the
    // filter designs at once rather than at the next grid sample.
    if (!designValid_) {
        flush(0, io);
        design(c, 0);
    }
    Schedule::walk(
        frames, constant, Schedule::kStep, environment()->samplePosition(),
        [&](int32_t i) {
            if (!designValid_) return Schedule::Movement::kJumped;
            return Schedule::either(
                Schedule::either(
                    Schedule::frequencyMovement(edgeFrequency(lf[i], lowerLimit, upperLimit, false),
                                                lowerDesign_.frequencyOctaves),
                    Schedule::frequencyMovement(edgeFrequency(uf[i], lowerLimit, upperLimit, true),
                                                upperDesign_.frequencyOctaves)),
                Schedule::either(
                    Schedule::valueMovement(edgeSlope(ls[i]), lowerDesign_.slopeDbPerOctave),
                    Schedule::valueMovement(edgeSlope(us[i]), upperDesign_.slopeDbPerOctave)));
        },
        [&](int32_t i) {
            flush(i, io);
            design(c, i);
        },
        [&](int32_t n) {
            convertGainPoints(gain, constantGain, cursor, n, io);
            cursor += n;
        });
    flush(frames, io);
}

void ShelfBand::design(const Controls& c, int32_t i) noexcept {
    const float lowerLimit = std::min(lowerLimit_.get(), upperLimit_.get());
    const float upperLimit = std::max(lowerLimit_.get(), upperLimit_.get());
    const float lf = edgeFrequency(c.lowerFrequency->data()[i], lowerLimit, upperLimit, false);
    const float uf = edgeFrequency(c.upperFrequency->data()[i], lowerLimit, upperLimit, true);
    designEdge(lowerDesign_, lf, edgeSlope(c.lowerSlope->data()[i]),
               lf > lowerLimit + kFloatTolerance);
    designEdge(upperDesign_, uf, edgeSlope(c.upperSlope->data()[i]),
               uf < upperLimit - kFloatTolerance);
    if (lowerDesign_.sectionCount < lowerTables_.unitFrom)
        clearSections(lowerTables_, lowerDesign_.sectionCount);
    if (upperDesign_.sectionCount < upperTables_.unitFrom)
        clearSections(upperTables_, upperDesign_.sectionCount);

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
        // Where X / g <= 1.1 (t = 0 without a d), cutFloor X <= g below 1 and boostCeiling X >= g
        // above, a point keeps its gain and the corners; a hair of margin keeps the boundary
        // cases on the full path.
        const double gt = r.gainTerm, ct = r.constantTerm;
        const double corners = r.smallerDelta > 0.0f || gt >= 1.1 ? kHuge : ct / (1.1 - gt);
        const double cf = r.cutFloor, bc = r.boostCeiling;
        const double cut = 1.0 - cf * gt > 0.0 ? cf * ct / (1.0 - cf * gt) : kHuge;
        const double boost = 1.0 - bc * gt > 0.0 ? bc * ct / (1.0 - bc * gt) : kHuge;
        r.untouchedLow = static_cast<float>(std::max(corners, std::min(cut, 1.0)) * 1.00001);
        r.untouchedHigh =
            boost >= 1.0 ? static_cast<float>(boost * 0.99999) : std::nextafter(1.0f, 0.0f);
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
    for (int32_t j = 0; j < slots.count; ++j) {
        slots.base[j] = slots.exponent[j] == 0.0f ? -1 : j;
        for (int32_t b = 0; b < j && slots.base[j] == j; ++b)
            if (slots.base[b] == b &&
                std::fabs(slots.exponent[j] - slots.exponent[b]) * kMaximumPointDb <= kSeriesRange)
                slots.base[j] = b;
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
    // What stays while the corner does: each section's numerator terms and the denominators.
    const double k = edge.corner;
    for (int32_t i = 0; i < kSectionsPerEdge; ++i)
        edge.denominators[i][0] = edge.denominators[i][1] = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        Section& section = x[i];
        if (section.order == 1) {
            section.inverse = 1.0 / (k + 1.0);
            section.linear = 0.0;
            section.square = k * section.inverse;
            edge.denominators[i][0] = (k - 1.0) * section.inverse;
            edge.denominators[i][1] = 0.0;
        } else {
            const double twoC = 2.0 * section.shape;
            section.inverse = 1.0 / (1.0 + twoC * k + k * k);
            section.linear = twoC * k * section.inverse;
            section.square = k * k * section.inverse;
            edge.denominators[i][0] = (2.0 * k * k - 2.0) * section.inverse;
            edge.denominators[i][1] = (1.0 - twoC * k + k * k) * section.inverse;
        }
    }
}

void ShelfBand::convertGainPoints(const float* gain, bool constantGain, int32_t from, int32_t n,
                                  const Channels& io) noexcept {
    // A constant block holds one value: only its first sample can make a point.
    const int32_t end = constantGain ? std::min(from + 1, from + n) : from + n;
    // Locals in the loop, members only around a flush (the stores would alias the point arrays).
    float last = lastPointGain_, low = batchLow_, high = batchHigh_;
    int32_t points = points_;
    for (int32_t i = from; i < end; ++i) {
        const float g = clampGain(gain[i]);
        if (std::fabs(g - last) <= kGainPointStep) continue;  // a NaN last always records
        last = g;
        low = points == 0 || g < low ? g : low;
        high = points == 0 || g > high ? g : high;
        pointIndex_[points] = i;
        pointGain_[points] = g;
        if (++points == kBatch) {
            points_ = points;
            batchLow_ = low;
            batchHigh_ = high;
            flush(i + 1, io);
            points = 0;
        }
    }
    points_ = points;
    batchLow_ = low;
    batchHigh_ = high;
    lastPointGain_ = last;
}

void ShelfBand::flush(int32_t upTo, const Channels& io) noexcept {
    const int32_t n = points_;
    bool lowerMoving = false, upperMoving = false;
    if (n > 0) computeBatch(n, lowerMoving, upperMoving);
    // Slot p runs from its point to the next one.
    int32_t start = segmentStart_;
    for (int32_t p = 0; p <= n; ++p) {
        const int32_t end = p < n ? pointIndex_[p] : upTo;
        slotFrames_[p] = end - start;
        start = end;
    }
    runSegment(upTo, n, lowerMoving, upperMoving, io);
    // The last point stays in force: it becomes slot 0 of the next segment.
    if (n > 0) {
        for (EdgeTables* t : {&lowerTables_, &upperTables_}) {
            std::memcpy(t->numerators[0], t->numerators[n], sizeof t->numerators[0]);
            std::memcpy(t->denominators[0], t->denominators[n], sizeof t->denominators[0]);
        }
        lowerTables_.moving = lowerMoving;
        upperTables_.moving = upperMoving;
        carriedGain_ = pointGain_[n - 1];
    }
    points_ = 0;
    segmentStart_ = upTo;
}

bool ShelfBand::adjustGains(int32_t count) noexcept {
    // A copy of the rule, so that the stores below cannot alias it.
    const CornerRule r = cornerRule_;
    const float spread = 1.0f / (r.headroom - 1.1f);
    int32_t moves = 0;
    for (int32_t j = 0; j < count; ++j) {
        const float g = pointGain_[j];
        const float x = g * r.gainTerm + r.constantTerm;
        const float m = std::min(g, r.boostCeiling * x);
        const float adjusted = g < 1.0f ? std::max(g, r.cutFloor * x) : m + (g - m) * r.boostShare;
        const float ratio = x / g;
        const float q = ratio < 1.1f ? 1.1f : std::min(ratio, r.headroom);
        const float u = (q - 1.1f) * spread;
        const float t = r.smallerDelta * (1.0f - u) + u;
        // Where g is too close to 1 to adjust, neither the gain nor the corners move.
        const bool far = std::fabs(g - 1.0f) > kAdjustThreshold;
        // Non-short-circuit '&': plain masks, no branches in the vector loop.
        const float share = far & (t > 0.0f) ? t : 0.0f;
        pointGain_[j] = far ? adjusted : g;
        peakGain_[j] = x * adjusted;
        cornerShare_[j] = share;
        moves += share > 0.0f ? 1 : 0;
    }
    return moves != 0;
}

template <ShelfBand::CornerMode Mode>
void ShelfBand::adjustCorners(int32_t count) noexcept {
    // Branch-free, so that the loop vectorises; the mode is fixed per design.
    const float km = cornerRule_.meanCorner;
    const float kl0 = lowerDesign_.corner, ku0 = upperDesign_.corner;
    const float lp = lowerDesign_.powerExponent, up = upperDesign_.powerExponent;
    const float lr = lowerDesign_.rootExponent, ur = upperDesign_.rootExponent;
    for (int32_t j = 0; j < count; ++j) {
        const float t = cornerShare_[j];
        const float gp = pointGain_[j];
        float dl, du, vl, vu;
        if constexpr (Mode == CornerMode::kGeneral) {
            const float lnRoot = 0.5f * fastLog(peakGain_[j]);  // ln sqrt(X g')
            const float lnGain = pointLog_[j];
            const float yl = fastExp(lp * lnRoot), hl = fastExp(lp * lnGain);
            const float yu = fastExp(up * lnRoot), hu = fastExp(up * lnGain);
            dl = hl - yl;
            du = hu - yu;
            vl = (yl - 1.0f) / dl;
            vu = (yu - 1.0f) / du;
        } else {
            // Unit powers: both edges see sqrt(X g') against g'.
            const float y = squareRoot(peakGain_[j]);
            dl = du = gp - y;
            vl = vu = (y - 1.0f) / dl;
        }
        const bool move = t > 0.0f;
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
        lowerCorner_[j] = okl ? kl0 + (km / pl - kl0) * t : kl0;
        upperCorner_[j] = oku ? ku0 + (km * pu - ku0) * t : ku0;
    }
}

void ShelfBand::computeBatch(int32_t count, bool& lowerMoving, bool& upperMoving) noexcept {
    gainPointCount_ += count;
    // Most points of a wide band leave the corners where the design put them: then the sections'
    // denominators stay, and only their numerators follow the gain.
    const CornerRule& r = cornerRule_;
    const bool untouched = batchLow_ >= r.untouchedLow && batchHigh_ <= r.untouchedHigh;
    const bool cornersMove = r.enabled && !untouched && adjustGains(count);
    for (int32_t j = 0; j < count; ++j) {
        pointLog_[j] = fastLog(pointGain_[j]);
        pointDb_[j] = std::max(pointLog_[j] * kNeperToDb, kMinimumDb);
    }
    if (cornersMove) {
        if (cornerMode_ == CornerMode::kUnitPowerSameRoot) {
            adjustCorners<CornerMode::kUnitPowerSameRoot>(count);
        } else if (cornerMode_ == CornerMode::kUnitPower) {
            adjustCorners<CornerMode::kUnitPower>(count);
        } else {
            adjustCorners<CornerMode::kGeneral>(count);
        }
    }
    // The corners move with the level only in the slope ranges with a phi: the upper one by
    // e^(G phi / 30), the lower one by e^(-G phi / 30), the reciprocal when the phis are equal.
    const float lowerPhi = lowerDesign_.active ? lowerDesign_.phi : 0.0f;
    const float upperPhi = upperDesign_.active ? upperDesign_.phi : 0.0f;
    lowerMoving = lowerDesign_.active && (cornersMove || lowerPhi != 0.0f);
    upperMoving = upperDesign_.active && (cornersMove || upperPhi != 0.0f);
    if (!cornersMove && lowerPhi != 0.0f)
        std::fill(lowerCorner_, lowerCorner_ + count, lowerDesign_.corner);
    if (!cornersMove && upperPhi != 0.0f)
        std::fill(upperCorner_, upperCorner_ + count, upperDesign_.corner);
    if (upperPhi != 0.0f) {
        const float rate = upperPhi / 30.0f;
        for (int32_t j = 0; j < count; ++j)
            cornerFactor_[j] = fastExp(pointDb_[j] * rate);
        for (int32_t j = 0; j < count; ++j)
            upperCorner_[j] *= cornerFactor_[j];
    }
    if (lowerPhi != 0.0f && lowerPhi == upperPhi) {
        for (int32_t j = 0; j < count; ++j)
            lowerCorner_[j] /= cornerFactor_[j];
    } else if (lowerPhi != 0.0f) {
        const float rate = -lowerPhi / 30.0f;
        for (int32_t j = 0; j < count; ++j)
            lowerCorner_[j] *= fastExp(pointDb_[j] * rate);
    }
    // Section gain g = 10^(+-0.5 w G / 20); the section's shelf is g^2 = w G dB.
    const GainSlots& slots = gainSlots_;
    for (int32_t s = 0; s < slots.count; ++s) {
        if (slots.base[s] != s) continue;
        const float exponent = slots.exponent[s];
        float* gain = sectionGain_[s];
        float* cut = sectionCut_[s];
        for (int32_t j = 0; j < count; ++j) {
            gain[j] = fastExp(exponent * pointDb_[j]);
            cut[j] = 1.0f / gain[j];
        }
    }
    for (int32_t s = 0; s < slots.count; ++s) {
        const int32_t base = slots.base[s];
        float* __restrict gain = sectionGain_[s];  // rows apart from the base's
        float* __restrict cut = sectionCut_[s];
        if (base < 0) {
            std::fill(gain, gain + count, 1.0f);
            std::fill(cut, cut + count, 1.0f);
        } else if (base != s) {
            // e^(+-d) to the third power of d: within 4e-10 for |d| <= kSeriesRange.
            const float offset = slots.exponent[s] - slots.exponent[base];
            const float* __restrict baseGain = sectionGain_[base];
            const float* __restrict baseCut = sectionCut_[base];
            for (int32_t j = 0; j < count; ++j) {
                const float d = offset * pointDb_[j];
                const float even = 1.0f + 0.5f * d * d, odd = d * (1.0f + d * d * (1.0f / 6.0f));
                gain[j] = baseGain[j] * (even + odd);
                cut[j] = baseCut[j] * (even - odd);
            }
        }
    }
    computeEdge(lowerDesign_, -1.0f, lowerMoving ? lowerCorner_ : nullptr, lowerTables_, count);
    computeEdge(upperDesign_, 1.0f, upperMoving ? upperCorner_ : nullptr, upperTables_, count);
}

void ShelfBand::computeEdge(const EdgeDesign& edge, float sign, const float* corner,
                            EdgeTables& out, int32_t count) noexcept {
    if (!edge.active) return;  // an edge at its limit has no sections
    out.unitFrom = std::max(out.unitFrom, edge.sectionCount);
    if (corner != nullptr) {
        // 1 / a0 per distinct denominator: a single-precision quotient four at a time and one
        // Newton step in double (relative error about 1e-15), cheaper than dividing in double.
        for (int32_t d = 0; d < edge.denominatorCount; ++d) {
            // a0 = 1 + K (first order), 1 + 2cK + K^2 (second order).
            const bool second = edge.denominatorOrder[d] == 2;
            const double first = second ? 2.0 * edge.denominatorShape[d] : 1.0;
            const double square = second ? 1.0 : 0.0;
            float* estimate = cornerFactor_;
            for (int32_t j = 0; j < count; ++j)
                estimate[j] = 1.0f / (1.0f + static_cast<float>(first) * corner[j] +
                                      static_cast<float>(square) * corner[j] * corner[j]);
            double* reciprocal = reciprocal_[d];
            for (int32_t j = 0; j < count; ++j) {
                const double k = corner[j], r = estimate[j];
                const double a0 = 1.0 + first * k + square * k * k;
                reciprocal[j] = r * (2.0 - a0 * r);
            }
        }
    }
    double(*numerators)[kSectionsPerEdge][3] = &out.numerators[1];
    for (int32_t s = 0; s < edge.sectionCount; ++s) {
        const Section& section = edge.sections[s];
        if (section.sameAs >= 0) {
            if (corner == nullptr && section.sameAs == s - 1) continue;  // written with it
            for (int32_t j = 0; j < count; ++j)
                for (int32_t v = 0; v < 3; ++v)
                    numerators[j][s][v] = numerators[j][section.sameAs][v];
            continue;
        }
        const float* gain = (sign < 0.0f ? sectionCut_ : sectionGain_)[section.gainSlot];
        if (corner == nullptr) {
            // At the design's corner only the numerator moves with the gain. An equal section
            // right after this one gets the same values in the same pass.
            const int32_t twin =
                s + 1 < edge.sectionCount && edge.sections[s + 1].sameAs == s ? s + 1 : s;
            const double inverse = section.inverse, linear = section.linear;
            const double square = section.square;
            if (section.order == 1) {
                for (int32_t j = 0; j < count; ++j) {
                    const double g = gain[j];
                    const double zero = square * (g * g);
                    numerators[j][s][0] = numerators[j][twin][0] = zero + inverse;
                    numerators[j][s][1] = numerators[j][twin][1] = zero - inverse;
                    numerators[j][s][2] = numerators[j][twin][2] = 0.0;
                }
            } else {
                for (int32_t j = 0; j < count; ++j) {
                    const double g = gain[j];
                    const double odd = linear * g, even = square * (g * g);
                    numerators[j][s][0] = numerators[j][twin][0] = inverse + odd + even;
                    numerators[j][s][1] = numerators[j][twin][1] = 2.0 * (even - inverse);
                    numerators[j][s][2] = numerators[j][twin][2] = inverse - odd + even;
                }
            }
        } else if (section.order == 1) {
            // H(s) = (s + g^2 K) / (s + K)
            const double* reciprocal = reciprocal_[section.denominator];
            for (int32_t j = 0; j < count; ++j) {
                const double k = corner[j], g = gain[j];
                const double inv = reciprocal[j], zero = g * g * k;
                numerators[j][s][0] = (zero + 1.0) * inv;
                numerators[j][s][1] = (zero - 1.0) * inv;
                numerators[j][s][2] = 0.0;
            }
        } else {
            // H(s) = (s^2 + 2c gK s + (gK)^2) / (s^2 + 2cK s + K^2)
            const double twoC = 2.0 * section.shape;
            const double* reciprocal = reciprocal_[section.denominator];
            for (int32_t j = 0; j < count; ++j) {
                const double k = corner[j];
                const double inv = reciprocal[j];
                const double gk = gain[j] * k, gk2 = gk * gk;
                numerators[j][s][0] = (1.0 + twoC * gk + gk2) * inv;
                numerators[j][s][1] = (2.0 * gk2 - 2.0) * inv;
                numerators[j][s][2] = (1.0 - twoC * gk + gk2) * inv;
            }
        }
    }
    if (corner == nullptr) return;
    double(*denominators)[kSectionsPerEdge][2] = &out.denominators[1];
    for (int32_t s = 0; s < edge.sectionCount; ++s) {
        const Section& section = edge.sections[s];
        const double* reciprocal = reciprocal_[section.denominator];
        const double twoC = 2.0 * section.shape;
        for (int32_t j = 0; j < count; ++j) {
            const double k = corner[j], inv = reciprocal[j];
            denominators[j][s][0] =
                section.order == 1 ? (k - 1.0) * inv : (2.0 * k * k - 2.0) * inv;
            denominators[j][s][1] = section.order == 1 ? 0.0 : (1.0 - twoC * k + k * k) * inv;
        }
    }
}

float ShelfBand::inputAt(const Channels& io, int32_t channel, int32_t index) const noexcept {
    if (index >= 0) {
        const float x = io.input[channel][index];
        return std::isfinite(x) ? x : 0.0f;
    }
    return io.stage[channel]->history_[-index - 1];
}

void ShelfBand::runSegment(int32_t upTo, int32_t points, bool lowerMoving, bool upperMoving,
                           const Channels& io) noexcept {
    const int32_t from = segmentStart_;
    const int32_t frames = upTo - from;
    if (frames <= 0) return;
    const bool pair = io.count == 2;
    // Where the upper cascade's input stood: the lower cascade's output, or the plain input.
    double upperHistory[2][2];
    for (int32_t ch = 0; ch < io.count; ++ch) {
        const BiquadProcessor::SectionState& last =
            io.stage[ch]->lower_.state(kSectionsPerEdge - 1);
        const bool lowerKnown = io.stage[ch]->lowerRan_;
        upperHistory[ch][0] = lowerKnown ? last.y1 : inputAt(io, ch, from - 1);
        upperHistory[ch][1] = lowerKnown ? last.y2 : inputAt(io, ch, from - 2);
    }
    const float* x[2] = {io.input[0] + from, pair ? io.input[1] + from : nullptr};
    const auto tablesOf = [&](const EdgeDesign& edge, EdgeTables& t, bool moving) {
        // Denominators per point while the corner moves in this batch or moved for slot 0;
        // slots at the design's corner then take the design's.
        const bool perPoint = moving || t.moving;
        if (perPoint && !t.moving)
            std::memcpy(t.denominators[0], edge.denominators, sizeof edge.denominators);
        if (perPoint && !moving)
            for (int32_t p = 1; p <= points; ++p)
                std::memcpy(t.denominators[p], edge.denominators, sizeof edge.denominators);
        BiquadProcessor::PointTables tables;
        tables.frames = slotFrames_;
        tables.points = points + 1;
        tables.numerators = &t.numerators[0][0][0];
        tables.numeratorStride = kSectionsPerEdge * 3;
        tables.denominators = perPoint ? &t.denominators[0][0][0] : &edge.denominators[0][0];
        tables.denominatorStride = perPoint ? kSectionsPerEdge * 2 : 0;
        return tables;
    };
    // Sets a paused cascade's state to the signal that went around it: the lower edge's sections
    // as unit sections, the upper edge's as the plain gain the stage applied, shared by the
    // section weights. After unity gain a cascade that kept running would hold exactly these
    // states; an edge leaving its limit nearly so (at the bottom its sections pass what lies
    // above them, at the top each lifts its share of the gain below a corner near Nyquist).
    const auto prime = [&](ShelfBand& stage, BiquadProcessor& cascade, bool upper, double h1,
                           double h2) {
        BiquadProcessor::SectionState state[kSectionsPerEdge];
        double level = 1.0;
        for (int32_t k = 0; k < kSectionsPerEdge; ++k) {
            const double g = upper && k < upperDesign_.sectionCount
                                 ? std::pow(static_cast<double>(stage.plainGain_),
                                            upperDesign_.sections[k].weight)
                                 : 1.0;
            state[k] = {level * h1, level * h2, level * g * h1, level * g * h2};
            level *= g;
        }
        cascade.setState(state);
    };

    float* out[2] = {io.processed[0] + from, pair ? io.processed[1] + from : nullptr};
    if (!pair && lowerDesign_.active && upperDesign_.active) {
        // One channel through both edges: one pass, the two cascades side by side.
        const BiquadProcessor::PointTables lower =
            tablesOf(lowerDesign_, lowerTables_, lowerMoving);
        const BiquadProcessor::PointTables upper =
            tablesOf(upperDesign_, upperTables_, upperMoving);
        if (!lowerRan_)
            prime(*this, lower_, false, inputAt(io, 0, from - 1), inputAt(io, 0, from - 2));
        if (!upperRan_) prime(*this, upper_, true, upperHistory[0][0], upperHistory[0][1]);
        const int32_t sections = std::max(lowerDesign_.sectionCount, upperDesign_.sectionCount);
        if (!lower_.runPointsThen(lower, upper_, upper, sections, x[0], out[0], frames)) {
            lower_.runPoints(lower, lowerDesign_.sectionCount, x[0], lowerOut_.data() + from,
                             frames);
            upper_.runPoints(upper, upperDesign_.sectionCount, lowerOut_.data() + from, out[0],
                             frames);
        }
        lowerRan_ = upperRan_ = true;
        return;
    }
    if (lowerDesign_.active) {
        const BiquadProcessor::PointTables t = tablesOf(lowerDesign_, lowerTables_, lowerMoving);
        float* y[2] = {io.stage[0]->lowerOut_.data() + from,
                       pair ? io.stage[1]->lowerOut_.data() + from : nullptr};
        for (int32_t ch = 0; ch < io.count; ++ch)
            if (!io.stage[ch]->lowerRan_)
                prime(*io.stage[ch], io.stage[ch]->lower_, false, inputAt(io, ch, from - 1),
                      inputAt(io, ch, from - 2));
        if (pair) {
            lower_.runPairPoints(t, lowerDesign_.sectionCount, x[0], y[0], x[1], y[1], frames);
        } else {
            lower_.runPoints(t, lowerDesign_.sectionCount, x[0], y[0], frames);
        }
        x[0] = y[0];
        x[1] = y[1];
    }
    if (upperDesign_.active) {
        const BiquadProcessor::PointTables t = tablesOf(upperDesign_, upperTables_, upperMoving);
        for (int32_t ch = 0; ch < io.count; ++ch)
            if (!io.stage[ch]->upperRan_)
                prime(*io.stage[ch], io.stage[ch]->upper_, true, upperHistory[ch][0],
                      upperHistory[ch][1]);
        if (pair) {
            upper_.runPairPoints(t, upperDesign_.sectionCount, x[0], out[0], x[1], out[1], frames);
        } else {
            upper_.runPoints(t, upperDesign_.sectionCount, x[0], out[0], frames);
        }
    } else {
        // An upper edge at its limit has no sections: it lifts the whole spectrum, a plain gain.
        for (int32_t ch = 0; ch < io.count; ++ch) {
            int32_t i = 0;
            for (int32_t p = 0; p <= points; ++p) {
                const float g = p == 0 ? carriedGain_ : pointGain_[p - 1];
                for (const int32_t end = i + slotFrames_[p]; i < end; ++i)
                    out[ch][i] = x[ch][i] * g;
            }
            io.stage[ch]->plainGain_ = points > 0 ? pointGain_[points - 1] : carriedGain_;
        }
    }
    for (int32_t ch = 0; ch < io.count; ++ch) {
        io.stage[ch]->lowerRan_ = lowerDesign_.active;
        io.stage[ch]->upperRan_ = upperDesign_.active;
    }
}

}  // namespace tessel
