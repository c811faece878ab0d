#pragma once

#include <cstdint>

namespace tessel {

/// How the spectrum is divided into bands (the Processing Mode parameter's values, in order).
enum class ProcessingMode : int32_t {
    kLinearPhase = 0,   ///< long linear-phase FIR band filters, by FFT convolution
    kDynamicPhase = 1,  ///< the full signal through a chain of per-band shelving stages (default)
    kMinimumPhase = 2,  ///< a tree of Linkwitz-Riley crossovers
};

}  // namespace tessel
