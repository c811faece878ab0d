#include "bands/FloatingMultiBandModel.h"

#include <algorithm>

#include "support/Tolerance.h"

namespace tessel {

// ---- Band ----

FloatingMultiBandModel::Band::Band(FloatingMultiBandModel* owner, int32_t number)
    : used_(this, false),
      modelBandIndex_(this, -1),
      lowFrequency_(this, kLowestFrequencyOctaves, kHighestFrequencyOctaves,
                    kLowestFrequencyOctaves),
      highFrequency_(this, kLowestFrequencyOctaves, kHighestFrequencyOctaves,
                     kLowestFrequencyOctaves),
      lowSlope_(this, kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave, kDefaultSlopeDbPerOctave),
      highSlope_(this, kMinimumSlopeDbPerOctave, kMaximumSlopeDbPerOctave,
                 kDefaultSlopeDbPerOctave),
      bypassed_(this, false),
      number_(number),
      owner_(owner) {}

void FloatingMultiBandModel::Band::setRange(float lowOctaves, float highOctaves) {
    UpdatedObject::ScopedHold hold(*owner_);
    lowFrequency_ = lowOctaves;
    highFrequency_ = highOctaves;
}

void FloatingMultiBandModel::Band::propertyChanged(AbstractProperty* property) {
    // The model band index is the layout's own output, and bypassing does not move a band.
    if (property == &modelBandIndex_ || property == &bypassed_) return;
    owner_->markLayoutChanged();
}

// ---- FloatingMultiBandModel ----

FloatingMultiBandModel::FloatingMultiBandModel(CrossoverMultiBandModel* crossoverModel)
    : crossoverModel_(crossoverModel), layoutDone_(&layoutEvent_, this) {
    registerDeferredEvent(layoutDone_);
    for (int32_t i = 0; i < kBandCount; ++i)
        bands_[static_cast<std::size_t>(i)] = std::make_unique<Band>(this, i);
    requestUpdate();
}

void FloatingMultiBandModel::markLayoutChanged() {
    layoutChanged_ = true;
    requestUpdate();
}

void FloatingMultiBandModel::performUpdate() {
    // The layout runs first so that the layout event, fired by the base pass, sees its result.
    if (layoutChanged_) {
        layoutChanged_ = false;
        layout();
        layoutDone_.markPending();
    }
    UpdatedObject::performUpdate();
}

void FloatingMultiBandModel::layout() {
    CrossoverMultiBandModel& model = *crossoverModel_;
    // Whatever the layout touches, the crossover model's listeners hear of it once, at the end.
    UpdatedObject::ScopedHold hold(model);

    // Used bands first, by ascending low edge (ties by number, so the order is stable); the
    // unused after them. Six entries: an insertion sort, which never allocates.
    std::array<Band*, kBandCount> order{};
    for (int32_t i = 0; i < kBandCount; ++i)
        order[static_cast<std::size_t>(i)] = bands_[static_cast<std::size_t>(i)].get();
    auto before = [](const Band* a, const Band* b) {
        if (a->used().get() != b->used().get()) return a->used().get();
        const float aLow = a->lowFrequencyOctaves().get();
        const float bLow = b->lowFrequencyOctaves().get();
        if (aLow != bLow) return aLow < bLow;
        return a->number() < b->number();
    };
    for (std::size_t i = 1; i < order.size(); ++i)
        for (std::size_t j = i; j > 0 && before(order[j], order[j - 1]); --j)
            std::swap(order[j], order[j - 1]);

    int32_t usedCount = 0;
    for (const Band* b : order)
        usedCount += b->used() ? 1 : 0;

    const int32_t maxModelBands = model.maxBandCount();
    auto setActive = [&](int32_t modelBand, bool active) {
        if (modelBand < maxModelBands) model.band(modelBand).active() = active;
    };
    auto setCrossover = [&](int32_t index, float octaves, float slope) {
        if (index >= model.maxBandCount() - 1) return;  // a too small model: drop the surplus
        CrossoverMultiBandModel::Crossover& c = model.crossover(index);
        c.frequencyOctaves() = octaves;
        c.slopeDbPerOctave() = slope;
    };

    float prev = kLowestFrequencyOctaves;
    int32_t k = 0;
    for (int32_t u = 0; u < usedCount; ++u) {
        Band& band = *order[static_cast<std::size_t>(u)];
        const bool last = u == usedCount - 1;
        const float lo = std::max(band.lowFrequencyOctaves().get(), prev);
        if (lo > prev + kMinimumGapOctaves) {
            // A gap below the band: it becomes an inactive model band of its own.
            setCrossover(k, lo, band.lowSlopeDbPerOctave());
            setActive(k, false);
            ++k;
            prev = lo;
        }
        band.modelBandIndex() = k;
        setActive(k, true);
        float hi = std::max(band.highFrequencyOctaves().get(), prev + kMinimumBandWidthOctaves);
        if (hi > kHighestFrequencyOctaves - kMinimumGapOctaves) hi = kHighestFrequencyOctaves;
        if (last && nearlyEqual(hi, kHighestFrequencyOctaves)) continue;  // open to the top
        setCrossover(k, hi, band.highSlopeDbPerOctave());
        ++k;
        prev = hi;
        if (last) setActive(k, false);  // the gap above the highest band
    }
    for (int32_t u = usedCount; u < kBandCount; ++u)
        order[static_cast<std::size_t>(u)]->modelBandIndex() = -1;
    for (int32_t j = usedCount == 0 ? 0 : k + 1; j < maxModelBands; ++j)
        setActive(j, false);
    model.bandCount() = k + 1;
}

}  // namespace tessel
