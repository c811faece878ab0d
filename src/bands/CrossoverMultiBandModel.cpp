#include "bands/CrossoverMultiBandModel.h"

#include <algorithm>
#include <cmath>
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
    const double f = mapping()->frequencyHz(std::clamp(index, 0, last));
    const double slope = c.slopeDbPerOctave();

    if (model.processingMode() == ProcessingMode::kLinearPhase) {
        // Zero phase with a continuous slope: the FIR kernels can realise any steepness.
        const double ratio = std::max(f, 0.0) * c.inverseFrequency();
        return {1.0 / (1.0 + std::pow(ratio, slope / 6.0)), 0.0};
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

void CrossoverMultiBandModel::Crossover::refresh() noexcept {
    refreshedOctaves_ = frequencyOctaves_;
    const double fc = std::max(std::exp2(static_cast<double>(refreshedOctaves_)), 1.0);
    inverseFrequency_ = 1.0 / fc;
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
