#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "engine/wave/Filter.h"
#include "support/Decibels.h"
#include "support/Property.h"

namespace tessel {

/// Converts a block between linear values and decibels, per sample:
///   0 gain to dB:            20 log10 |x|, floored at -180 (and -180 for |x| <= 1e-10);
///   1 dB to gain:            10^(x / 20);
///   2 reduction to dB:       -max(20 log10 |1 - x|, -180): a gain-reduction fraction (1 minus a
///                            gain) to dB of reduction, at most 180;
///   3 dB to reduction:       1 - 10^(-x / 20), the inverse of 2.
/// Constant in, constant out, computed once; log and exp are vectorisable approximations
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
    /// Conversion 0 for one value, inline so that other nodes' block loops can take a level in
    /// dB on the way (and vectorise with it): 20 log10 |x| floored at -180 dB. The logarithm's
    /// argument is at least 1e-10 (whose -200 dB the floor turns into -180), infinity is clamped
    /// to the largest float, and NaN fails the comparison and takes the floor.
    static float gainToDb(float x) noexcept {
        const float a = std::fabs(x);
        const float argument = a > 1e-10f ? (a < FLT_MAX ? a : FLT_MAX) : 1e-10f;
        const float db = logarithm(argument) * kNeperToDb;
        return db > kMinimumDb ? db : kMinimumDb;
    }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;

    /// The natural logarithm of a positive normal float, within 4 ulp (relative), for block
    /// loops: x = (1 + m) 2^e with 1 + m in [sqrt(1/2), sqrt(2)), ln(1 + m) = 2 atanh(s) with
    /// s = m / (2 + m), |s| <= 0.172, from four terms of its series, and ln 2 split as fastLog
    /// splits it. One division instead of fastLog's eight multiply-adds in a row: a third
    /// faster on whole blocks. Callers clamp other arguments first (they give a meaningless value).
    static float logarithm(float x) noexcept {
        uint32_t bits = std::bit_cast<uint32_t>(x);
        // The offset moves mantissas at or above sqrt(2) into the next exponent.
        bits += 0x3F800000u - 0x3F3504F3u;
        const float e = static_cast<float>(static_cast<int32_t>(bits >> 23) - 127);
        bits = (bits & 0x007FFFFFu) + 0x3F3504F3u;
        const float m = std::bit_cast<float>(bits) - 1.0f;
        const float twoS = 2.0f * m / (2.0f + m);
        const float z = 0.25f * twoS * twoS;
        const float series = ((0.14285715f * z + 0.2f) * z + 0.33333334f) * z;
        return (twoS + twoS * series + e * -2.12194440e-4f) + e * 0.693359375f;
    }

private:
    Property<Conversion> conversion_;
};

}  // namespace tessel
