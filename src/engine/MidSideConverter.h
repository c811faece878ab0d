#pragma once

#include <cstdint>

#include "engine/wave/MultiProducer.h"
#include "support/Property.h"

namespace tessel {

/// Converts a channel pair between left/right and mid/side. Outputs 0 and 1 are:
///   conversion 0 (none):      the two input blocks themselves (no copy);
///   conversion 1 (L/R to M/S): mid = (first + second) * 0.5, side = (second - first) * 0.5;
///   conversion 2 (M/S to L/R): first - second, first + second (the exact inverse of 1).
/// An unconnected input reads as silence. Two constant inputs give constant outputs computed
/// once. NaN and infinities propagate by IEEE arithmetic (inf - inf gives NaN). Audio thread
/// only; never allocates.
class MidSideConverter : public wave::MultiProducer, public PropertyOwner {
public:
    enum class Conversion : int32_t {
        kNone = 0,
        kLeftRightToMidSide = 1,
        kMidSideToLeftRight = 2,
    };

    explicit MidSideConverter(wave::Environment* environment,
                              Conversion conversion = Conversion::kNone);

    /// The conversion; a value outside 0..2 is clamped into it.
    Property<Conversion>& conversion() noexcept { return conversion_; }
    const Property<Conversion>& conversion() const noexcept { return conversion_; }

    void setFirstInput(wave::Producer* input) noexcept { first_ = input; }
    void setSecondInput(wave::Producer* input) noexcept { second_ = input; }
    wave::Producer* firstInput() const noexcept { return first_; }
    wave::Producer* secondInput() const noexcept { return second_; }

    void process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;

private:
    wave::Producer* first_ = nullptr;
    wave::Producer* second_ = nullptr;
    Property<Conversion> conversion_;
};

}  // namespace tessel
