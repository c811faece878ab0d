#include "bands/CrossoverMultiBandModel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "bands/BilinearTransform.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

using Complex = FrequencyResponseSource::Complex;

// Beyond this tangent the grid point sits at the clamped angle just short of Nyquist (where the
// tangent is about 200): every low side is taken as fully closed there.
constexpr double kClosedTangent = 199.0;

/// tan(pi f / fs) with the angle clamped as the filter designs clamp it; 0 at and below 0 Hz.
double gridTangent(double frequencyHz, double sampleRateHz) noexcept {
    if (!(frequencyHz > 0.0)) return 0.0;
    const double fs = (sampleRateHz > 0.0 && std::isfinite(sampleRateHz)) ? sampleRateHz : 44100.0;
    const double w = std::min(2.0 * std::numbers::pi * frequencyHz / fs, kMaxAngularFrequency);
    return std::tan(0.5 * w);
}

/// 2^x without libm for the continuous-slope responses, which need one per grid point and
/// crossover. x = n + r with n the nearest integer (rounded by adding and removing 1.5 * 2^52,
/// which also leaves n in the low mantissa bits) and |r| <= 1/2; 2^r = e^(r ln 2) by its Taylor
/// series to degree 10, whose remainder, (ln 2 / 2)^11 / 11! = 2.2e-13, bounds the relative
/// error; 2^n is built in the exponent field. x is clamped to -1022..1023 so the result is
/// finite (2^-1022.5 at the bottom is subnormal, harmless); a NaN gives NaN. Plain arithmetic on
/// doubles and 64-bit integers, so a loop over it vectorises with SSE2. Relies on strict IEEE
/// evaluation (no -ffast-math, which would fold the rounding away).
inline double fastExp2(double x) noexcept {
    constexpr double kShifter = 6755399441055744.0;  // 1.5 * 2^52
    // Written so that a NaN lands on a limit: the integer part below never sees a NaN.
    double clamped = x > -1022.0 ? x : -1022.0;
    clamped = clamped < 1023.0 ? clamped : 1023.0;
    const double shifted = clamped + kShifter;
    const double r = clamped - (shifted - kShifter);
    // Horner from the top term down; coefficient k is ln2^k / k!.
    constexpr double ln2 = std::numbers::ln2;
    constexpr double c1 = ln2, c2 = c1 * ln2 / 2, c3 = c2 * ln2 / 3, c4 = c3 * ln2 / 4;
    constexpr double c5 = c4 * ln2 / 5, c6 = c5 * ln2 / 6, c7 = c6 * ln2 / 7, c8 = c7 * ln2 / 8;
    constexpr double c9 = c8 * ln2 / 9, c10 = c9 * ln2 / 10;
    double p = c10;
    p = p * r + c9;
    p = p * r + c8;
    p = p * r + c7;
    p = p * r + c6;
    p = p * r + c5;
    p = p * r + c4;
    p = p * r + c3;
    p = p * r + c2;
    p = p * r + c1;
    p = p * r + 1.0;
    const int64_t n = std::bit_cast<int64_t>(shifted) - std::bit_cast<int64_t>(kShifter);
    const double scale = std::bit_cast<double>((n + 1023) << 52);
    return x == x ? p * scale : x;
}

/// Low side of a linear-phase crossover of slope S at f: 1 / (1 + (f / fc)^(S/6)), as
/// 1 / (1 + 2^((S/6)(log2 f - log2 fc))) from the grid's octave table. Within 1e-12 relative of
/// the pow formula (the error of fastExp2 and of the octave differences' rounding); it is the one
/// expression every linear-phase half is computed with, so halves read from caches and halves
/// computed in runs agree bit for bit, and low + high sides still sum to 1 exactly.
inline double linearPhaseLowSide(double exponent, double frequencyOctaves,
                                 double crossoverOctaves) noexcept {
    return 1.0 / (1.0 + fastExp2(exponent * (frequencyOctaves - crossoverOctaves)));
}

/// Order of the real magnitude-like response 1 / (1 + w^M) standing for a slope of 9 dB/oct and
/// more, with the same thresholds the crossover filters use.
int32_t responseOrder(double slopeDbPerOctave) noexcept {
    if (slopeDbPerOctave < 18.0) return 2;
    if (slopeDbPerOctave < 30.0) return 4;
    if (slopeDbPerOctave < 42.0) return 6;
    return 8;
}

}  // namespace

// ---- CrossoverResponseSource ----

Complex CrossoverMultiBandModel::CrossoverResponseSource::computeResponse(int32_t index) const {
    const Crossover& c = *crossover_;
    const CrossoverMultiBandModel& model = *c.owner();
    const int32_t last = mapping()->size() - 1;
    const int32_t at = std::clamp(index, 0, last);
    const double f = mapping()->frequencyHz(at);
    const double slope = c.slopeDbPerOctave();

    if (model.processingMode() == ProcessingMode::kLinearPhase) {
        // Zero phase with a continuous slope: the FIR kernels can realise any steepness.
        const double octaves = mapping()->frequenciesOctaves()[at];
        return {linearPhaseLowSide(slope / 6.0, octaves, c.responseOctaves()), 0.0};
    }
    const double k = gridTangent(f, model.sampleRate_);
    if (k >= kClosedTangent) return {0.0, 0.0};
    const double w = k * c.inverseTangent();
    if (slope < 9.0) {
        // First order, 1 / (1 + jw); written two ways so neither term overflows for large w.
        if (std::fabs(w) >= 1.0) {
            const double inverse = 1.0 / w;
            const double d = w + inverse;
            return {inverse / d, -1.0 / d};
        }
        const double d = 1.0 + w * w;
        return {1.0 / d, -w / d};
    }
    return {1.0 / (1.0 + std::pow(w, responseOrder(slope))), 0.0};
}

// ---- Crossover ----

CrossoverMultiBandModel::Crossover::Crossover(CrossoverMultiBandModel* owner, int32_t index)
    : owner_(owner),
      index_(index),
      frequencyOctaves_(this, kDefaultCrossoverOctaves),
      slopeDbPerOctave_(this, kDefaultSlopeDbPerOctave),
      responseSource_(this, &owner->mapping_),
      refreshedOctaves_(kDefaultCrossoverOctaves) {
    refresh();
}

Complex CrossoverMultiBandModel::Crossover::halfResponse(int32_t side, int32_t index) const {
    const Complex low = responseSource_.response(index);
    return side == 0 ? low : Complex{1.0 - low.real(), -low.imag()};
}

void CrossoverMultiBandModel::Crossover::multiplyLinearPhaseHalf(int32_t side, int32_t first,
                                                                 int32_t count,
                                                                 double* gains) const noexcept {
    const double exponent = static_cast<double>(slopeDbPerOctave_.get()) / 6.0;
    const double centre = responseOctaves_;
    const double* octaves = responseSource_.mapping()->frequenciesOctaves() + first;
    // low or 1 - low as offset + sign * low, exact either way: no branch in the loop.
    const double offset = side == 0 ? 0.0 : 1.0;
    const double sign = side == 0 ? 1.0 : -1.0;
    for (int32_t k = 0; k < count; ++k)
        gains[k] *= offset + sign * linearPhaseLowSide(exponent, octaves[k], centre);
}

void CrossoverMultiBandModel::Crossover::refresh() noexcept {
    refreshedOctaves_ = frequencyOctaves_;
    const double fc = std::max(std::exp2(static_cast<double>(refreshedOctaves_)), 1.0);
    inverseFrequency_ = 1.0 / fc;
    responseOctaves_ = std::log2(fc);
    inverseTangent_ = 1.0 / prewarpedTangent(fc, owner_->sampleRate_);
    responseSource_.invalidate();
}

void CrossoverMultiBandModel::Crossover::propertyChanged(AbstractProperty* property) {
    if (property == &frequencyOctaves_) {
        // A move within the float tolerance is no move: keep the cache and tell nobody.
        if (nearlyEqual(frequencyOctaves_.get(), refreshedOctaves_)) return;
        refresh();
    } else if (property == &slopeDbPerOctave_) {
        responseSource_.invalidate();
    }
    owner_->markChanged();
}

// ---- Band ----

CrossoverMultiBandModel::Band::Band(CrossoverMultiBandModel* owner, int32_t index)
    : DiscreteFrequencyResponseSource(&owner->mapping_),
      owner_(owner),
      index_(index),
      active_(this, true) {}

Complex CrossoverMultiBandModel::Band::response(int32_t index) const {
    if (leaf_ == nullptr) return {1.0, 0.0};
    Complex r = leaf_->halfResponse(leafSide_, index);
    for (const Crossover* c = leaf_; c->parent() != nullptr; c = c->parent())
        r *= c->parent()->halfResponse(c->side(), index);
    return r;
}

void CrossoverMultiBandModel::Band::responses(int32_t first, int32_t count, Complex* out) const {
    const int32_t gridFirst = std::max(first, 0);
    const int32_t gridEnd = std::min(first + count, mapping()->size());
    if (leaf_ == nullptr || gridEnd <= gridFirst ||
        owner_->processingMode() != ProcessingMode::kLinearPhase) {
        DiscreteFrequencyResponseSource::responses(first, count, out);
        return;
    }
    // Indices off the grid (such as the kernels' Nyquist bin) go one by one, which clamps them.
    DiscreteFrequencyResponseSource::responses(first, gridFirst - first, out);
    DiscreteFrequencyResponseSource::responses(gridEnd, first + count - gridEnd,
                                               out + (gridEnd - first));
    // Real responses, a block at a time: the leaf's half, then each parent's half in the same
    // order as response(i) multiplies them, so both give the same doubles.
    constexpr int32_t kBlock = 64;
    double gains[kBlock];
    for (int32_t at = gridFirst; at < gridEnd; at += kBlock) {
        const int32_t n = std::min(kBlock, gridEnd - at);
        std::fill(gains, gains + n, 1.0);
        leaf_->multiplyLinearPhaseHalf(leafSide_, at, n, gains);
        for (const Crossover* c = leaf_; c->parent() != nullptr; c = c->parent())
            c->parent()->multiplyLinearPhaseHalf(c->side(), at, n, gains);
        for (int32_t k = 0; k < n; ++k)
            out[at - first + k] = {gains[k], 0.0};
    }
}

void CrossoverMultiBandModel::Band::propertyChanged(AbstractProperty*) {
    owner_->markChanged();
}

// ---- CrossoverMultiBandModel ----

CrossoverMultiBandModel::CrossoverMultiBandModel(int32_t maxBandCount)
    : sampleRate_(this, kDefaultSampleRate),
      bandCount_(this, 1, std::max(maxBandCount, 1), 1),
      processingMode_(this, ProcessingMode::kLinearPhase),
      changed_(&changedEvent_, this) {
    registerDeferredEvent(changed_);
    const int32_t bands = std::max(maxBandCount, 1);
    bands_.reserve(static_cast<std::size_t>(bands));
    crossovers_.reserve(static_cast<std::size_t>(bands - 1));
    for (int32_t i = 0; i < bands; ++i)
        bands_.push_back(std::make_unique<Band>(this, i));
    for (int32_t i = 0; i + 1 < bands; ++i)
        crossovers_.push_back(std::make_unique<Crossover>(this, i));
    rebuildTree();
}

CrossoverMultiBandModel::~CrossoverMultiBandModel() = default;

void CrossoverMultiBandModel::propertyChanged(AbstractProperty* property) {
    if (property == &bandCount_) {
        rebuildTree();
    } else if (property == &sampleRate_ || property == &processingMode_) {
        for (auto& c : crossovers_)
            c->refresh();
    }
    markChanged();
}

void CrossoverMultiBandModel::rebuildTree() noexcept {
    for (auto& c : crossovers_) {
        c->parent_ = nullptr;
        c->side_ = 0;
        c->lowerSize_ = 0;
        c->upperSize_ = 0;
    }
    for (auto& b : bands_)
        b->leaf_ = nullptr;
    const int32_t count = crossoverCount();
    rootIndex_ = buildRange(0, count, nullptr);
    // In index order the empty subtrees are exactly the bands, lowest first.
    int32_t next = 0;
    for (int32_t k = 0; k < count; ++k) {
        Crossover* c = crossovers_[static_cast<std::size_t>(k)].get();
        if (c->lowerSize_ == 0) {
            bands_[static_cast<std::size_t>(next)]->leaf_ = c;
            bands_[static_cast<std::size_t>(next++)]->leafSide_ = 0;
        }
        if (c->upperSize_ == 0) {
            bands_[static_cast<std::size_t>(next)]->leaf_ = c;
            bands_[static_cast<std::size_t>(next++)]->leafSide_ = 1;
        }
    }
}

int32_t CrossoverMultiBandModel::buildRange(int32_t first, int32_t count,
                                            Crossover* parent) noexcept {
    if (count <= 0) return -1;
    const int32_t node = first + count / 2;
    Crossover* c = crossovers_[static_cast<std::size_t>(node)].get();
    c->parent_ = parent;
    c->side_ = (parent != nullptr && parent->index_ <= node) ? 1 : 0;
    c->lowerSize_ = count / 2;
    c->upperSize_ = count - count / 2 - 1;
    buildRange(first, c->lowerSize_, c);
    buildRange(node + 1, c->upperSize_, c);
    return node;
}

}  // namespace tessel
