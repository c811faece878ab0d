#pragma once

#include <cstdint>

#include "engine/wave/Filter.h"
#include "support/Property.h"

namespace tessel {

/// Converts a block between linear values and decibels, per sample:
///   0 gain to dB:            20 log10 |x|, floored at -180 (and -180 for |x| <= 1e-10);
///   1 dB to gain:            10^(x / 20);
///   2 reduction to dB:       -max(20 log10 |1 - x|, -180): a gain-reduction fraction (1 minus a
///                            gain) to dB of reduction, at most 180;
///   3 dB to reduction:       1 - 10^(-x / 20), the inverse of 2.
/// Constant in, constant out, computed once; log and exp are the vectorisable approximations
/// (relative error a few ulp). NaN/inf: in 0 and 2 a NaN magnitude counts as below the floor (0
/// gives -180, 2 gives +180), an infinite one as the largest float (+-770.6 dB); 1 and 3 pass NaN
/// on and clamp infinities to the exponential's range. Audio thread only; never allocates.
class DBConverter : public wave::Filter, public PropertyOwner {
public:
    enum class Conversion : int32_t {
        kGainToDb = 0,
        kDbToGain = 1,
        kReductionToDb = 2,
        kDbToReduction = 3,
    };

    explicit DBConverter(wave::Environment* environment,
                         Conversion conversion = Conversion::kGainToDb);

    /// The conversion; a value outside 0..3 is clamped into it.
    Property<Conversion>& conversion() noexcept { return conversion_; }
    const Property<Conversion>& conversion() const noexcept { return conversion_; }

    /// One value through `conversion`, with exactly the arithmetic of the block path.
    static float convert(Conversion conversion, float x) noexcept;

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;

private:
    Property<Conversion> conversion_;
};

}  // namespace tessel
