#pragma once

#include "sr/FIRConverter.h"

namespace tessel::sr {

/// Brings a host-rate signal up to factor times the host rate: the stages run from the host rate
/// upwards, the steep reduced table on the first (host rate to twice it), the relaxed reduced one
/// above it; each stage computes only its odd outputs, the even ones are copies of its input.
/// Reads n samples, writes n * factor. Real-time contract as `FIRConverter`.
class Interpolator final : public FIRConverter {
public:
    explicit Interpolator(ConverterStyle* style);

protected:
    void convert(const float* in, float* out, int32_t n) noexcept override;
};

}  // namespace tessel::sr
