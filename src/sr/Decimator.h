#pragma once

#include "sr/FIRConverter.h"

namespace tessel::sr {

/// Brings a signal at factor times the host rate down to the host rate: the stages run from the
/// highest rate downwards, the steep table on the last (2:1 into the host rate), the relaxed one
/// above it. Reads n * factor samples, writes n. Real-time contract as `FIRConverter`.
class Decimator final : public FIRConverter {
public:
    explicit Decimator(ConverterStyle* style);

protected:
    void convert(const float* in, float* out, int32_t n) noexcept override;
};

}  // namespace tessel::sr
