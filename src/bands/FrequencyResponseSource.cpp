#include "bands/FrequencyResponseSource.h"

#include <algorithm>
#include <cmath>

namespace tessel {

using Mapping = DiscreteFrequencyResponseSource::Mapping;

Mapping::Mapping()
    : logarithmic_(this, false),
      lowestHz_(this, kDefaultLowestHz),
      highestHz_(this, kDefaultHighestHz),
      pointCount_(this, kDefaultPointCount) {
    rebuild();
}

Mapping::~Mapping() = default;

void Mapping::configure(bool logarithmic, double lowestHz, double highestHz, int32_t points) {
    configuring_ = true;
    logarithmic_ = logarithmic;
    lowestHz_ = lowestHz;
    highestHz_ = highestHz;
    pointCount_ = points;
    configuring_ = false;
    rebuild();
}

void Mapping::propertyChanged(AbstractProperty*) {
    if (!configuring_) rebuild();
}

void Mapping::rebuild() {
    const int32_t n = std::max<int32_t>(pointCount_, 1);
    const double lowest = lowestHz_;
    const double highest = highestHz_;
    const bool logarithmic = logarithmic_ && lowest > 0.0 && highest > 0.0;
    step_ = logarithmic ? std::log(highest / lowest) / n : (highest - lowest) / n;
    frequenciesHz_.resize(static_cast<std::size_t>(n));
    frequenciesOctaves_.resize(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        const double f = logarithmic ? lowest * std::exp(i * step_) : lowest + i * step_;
        frequenciesHz_[static_cast<std::size_t>(i)] = f;
        // A NaN frequency keeps its NaN (log2 passes it on), as its response would.
        frequenciesOctaves_[static_cast<std::size_t>(i)] = f <= 0.0 ? kZeroHzOctaves : std::log2(f);
    }
    // Indexed walk: a source may (un)register others while it reacts.
    for (std::size_t i = 0; i < sources_.size(); ++i)
        sources_[i]->mappingChanged();
}

int32_t Mapping::indexOf(double frequencyHz) const noexcept {
    const double lowest = lowestHz_;
    double position = 0.0;
    if (step_ != 0.0) {
        const bool logarithmic = logarithmic_ && lowest > 0.0 && highestHz_ > 0.0;
        if (logarithmic)
            position = frequencyHz > 0.0 ? std::log(frequencyHz / lowest) / step_ : 0.0;
        else
            position = (frequencyHz - lowest) / step_;
    }
    if (!(position > 0.0)) return 0;  // also a NaN
    const double last = static_cast<double>(size() - 1);
    return static_cast<int32_t>(std::lround(std::min(position, last)));
}

void Mapping::addSource(DiscreteFrequencyResponseSource* source) {
    sources_.push_back(source);
}

void Mapping::removeSource(DiscreteFrequencyResponseSource* source) noexcept {
    const auto it = std::find(sources_.begin(), sources_.end(), source);
    if (it != sources_.end()) sources_.erase(it);
}

DiscreteFrequencyResponseSource::DiscreteFrequencyResponseSource(Mapping* mapping)
    : mapping_(mapping) {
    mapping_->addSource(this);
}

DiscreteFrequencyResponseSource::~DiscreteFrequencyResponseSource() {
    mapping_->removeSource(this);
}

FrequencyResponseSource::Complex DiscreteFrequencyResponseSource::responseAtFrequency(
    double frequencyHz) const {
    return response(mapping_->indexOf(frequencyHz));
}

void DiscreteFrequencyResponseSource::responses(int32_t first, int32_t count, Complex* out) const {
    for (int32_t i = 0; i < count; ++i)
        out[i] = response(first + i);
}

void DiscreteFrequencyResponseSource::squaredMagnitudes(int32_t first, int32_t count,
                                                        double* out) const {
    for (int32_t i = 0; i < count; ++i)
        out[i] = squaredMagnitude(first + i);
}

CachedDiscreteFrequencyResponseSource::CachedDiscreteFrequencyResponseSource(Mapping* mapping)
    : DiscreteFrequencyResponseSource(mapping), cache_(static_cast<std::size_t>(mapping->size())) {}

FrequencyResponseSource::Complex CachedDiscreteFrequencyResponseSource::response(
    int32_t index) const {
    if (index >= 0 && index < fillCount_) return cache_[static_cast<std::size_t>(index)];
    const Complex value = computeResponse(index);
    if (index == fillCount_ && index < static_cast<int32_t>(cache_.size())) {
        cache_[static_cast<std::size_t>(index)] = value;
        ++fillCount_;
    }
    return value;
}

void CachedDiscreteFrequencyResponseSource::mappingChanged() {
    cache_.resize(static_cast<std::size_t>(mapping()->size()));
    fillCount_ = 0;
}

}  // namespace tessel
