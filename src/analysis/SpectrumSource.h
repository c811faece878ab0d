#pragma once

#include <cstdint>
#include <vector>

#include "support/LockedSource.h"

namespace tessel {

/// A magnitude spectrum that a display reads between `lock` and `unlock`: bins 0..N/2 as linear
/// magnitudes normalised so that a full-scale sine on a bin reads 1, and a sequence number that
/// grows with every new spectrum. Editor thread only.
class SpectrumSource : public LockedSource {
public:
    /// The bins, or null while there is no spectrum yet.
    virtual const float* spectrum() const = 0;
    virtual int32_t binCount() const = 0;
    virtual uint32_t sequenceNumber() const = 0;
};

/// A spectrum copied from another source (for a display that must not hold the analyser's lock
/// while drawing): `copyFrom` takes a locked source's bins; `unlock` reports whether the copy
/// changed since the previous unlock. Editor thread only; copying a larger spectrum allocates.
class SpectrumSourceProxy : public SpectrumSource {
public:
    /// Copies source's bins and sequence number if they are new.
    void copyFrom(const SpectrumSource& source) {
        if (source.spectrum() == nullptr || source.sequenceNumber() == sequence_) return;
        bins_.assign(source.spectrum(), source.spectrum() + source.binCount());
        sequence_ = source.sequenceNumber();
        pending_ = true;
    }
    /// True when the last unlock found a new spectrum.
    bool changed() const noexcept { return changed_; }

    void lock() override { ++lockCount_; }
    void unlock() override {
        if (lockCount_ > 0 && --lockCount_ == 0) {
            changed_ = pending_;
            pending_ = false;
        }
    }
    int32_t lockCount() const override { return lockCount_; }
    const float* spectrum() const override { return bins_.empty() ? nullptr : bins_.data(); }
    int32_t binCount() const override { return static_cast<int32_t>(bins_.size()); }
    uint32_t sequenceNumber() const override { return sequence_; }

private:
    std::vector<float> bins_;
    uint32_t sequence_ = 0;
    int32_t lockCount_ = 0;
    bool pending_ = false;
    bool changed_ = false;
};

}  // namespace tessel
