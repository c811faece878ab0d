#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>

#include "engine/wave/Component.h"
#include "sr/ConverterBase.h"

namespace tessel::sr {

/// The source of a matching pair of converters between the host rate and an oversampled rate:
/// creates decimators and interpolators, reports the latency of a round trip through both, and
/// holds the oversampling factor (1, 2, 4, ... up to `maximumFactor`) that its converters follow.
/// Lives in the host environment. Creation and factor changes run on the audio thread inside a
/// graph rebuild, or while processing is stopped; they allocate. `currentFactor` never does.
class ConverterStyleBase : public wave::Component {
public:
    explicit ConverterStyleBase(wave::Environment* hostEnvironment) noexcept
        : wave::Component(hostEnvironment) {}
    virtual ~ConverterStyleBase() = default;
    ConverterStyleBase(const ConverterStyleBase&) = delete;
    ConverterStyleBase& operator=(const ConverterStyleBase&) = delete;

    virtual std::unique_ptr<ConverterBase> createDecimator() = 0;
    virtual std::unique_ptr<ConverterBase> createInterpolator() = 0;
    /// Host-rate samples by which interpolating by factor and decimating back delays a signal;
    /// 0 for factor 1.
    virtual int32_t latency(int32_t factor) const = 0;
    /// The largest factor the converters handle (a power of two).
    virtual int32_t maximumFactor() const noexcept = 0;
    /// The oversampling factor the converters follow. [audio thread, no allocation]
    virtual int32_t currentFactor() const noexcept { return factor_; }
    /// Stores the factor, limited to 1 .. maximumFactor and rounded down to a power of two.
    virtual void setFactor(int32_t factor) {
        factor_ = static_cast<int32_t>(
            std::bit_floor(static_cast<uint32_t>(std::clamp(factor, 1, maximumFactor()))));
    }

private:
    int32_t factor_ = 1;
};

}  // namespace tessel::sr
