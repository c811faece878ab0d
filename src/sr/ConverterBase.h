#pragma once

#include <cstdint>

#include "engine/wave/Component.h"

namespace tessel::sr {

/// A sample-rate converter between the host rate and an oversampled rate (factor times it), bound
/// to the style that created it and following that style's current factor. Counts are host-rate
/// samples: an interpolator reads n samples and writes n * factor, a decimator reads n * factor
/// and writes n. The converter lives in the host environment (its maximum block size sizes the
/// converter's buffers).
/// Real time: `process` runs on the audio thread and never allocates, locks or throws in steady
/// state; `setUp` allocates when the factor, the tables or the block size changed.
class ConverterBase : public wave::Component {
public:
    explicit ConverterBase(wave::Environment* hostEnvironment) noexcept
        : wave::Component(hostEnvironment) {}
    virtual ~ConverterBase() = default;
    ConverterBase(const ConverterBase&) = delete;
    ConverterBase& operator=(const ConverterBase&) = delete;

    /// Converts n host-rate samples' worth of signal from in to out (which must not overlap).
    /// Returns false, doing nothing, when the factor is below 2. [audio thread]
    virtual bool process(const float* in, float* out, int32_t n) noexcept = 0;
    /// Builds the converter for the style's current factor and tables and clears its history.
    /// Allocates only when something it is built from changed. [audio thread, at a block boundary]
    virtual void setUp() = 0;
};

}  // namespace tessel::sr
