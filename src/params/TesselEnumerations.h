#pragma once

#include <cstdint>

namespace tessel {

// The stored values of the product's discrete parameters, one enumeration per parameter kind, in
// the order of the parameters' choice names. The dynamics and stereo-linking classes that act on
// DynamicsMode and StereoLinkMode refer to these types (as `BandCompander::DynamicsMode` and
// `MidSideStereoLinker::StereoLinkMode`, through member aliases) so the parameters do not depend
// on the audio code.

/// How the spectrum is divided into bands (the Processing Mode parameter's values, in order).
enum class ProcessingMode : int32_t {
    kLinearPhase = 0,   ///< long linear-phase FIR band filters, by FFT convolution
    kDynamicPhase = 1,  ///< the full signal through a chain of per-band shelving stages (default)
    kMinimumPhase = 2,  ///< a tree of Linkwitz-Riley crossovers
};

/// How many times the signal is oversampled (the Oversampling parameter).
enum class OversamplingMode : int32_t {
    kOff = 0,
    k2x = 1,
    k4x = 2,
};

/// Whether a band slot is processing, bypassed, or holds no band at all (Band State).
enum class BandState : int32_t {
    kDisabled = 0,
    kEnabled = 1,
    kUnused = 2,  ///< the slot is empty: a new instance has no band in use
};

/// Whether a band compresses above or expands below its threshold (Dynamics Mode).
enum class DynamicsMode : int32_t {
    kCompression = 0,
    kExpansion = 1,
};

/// Whether a band's side-chain filter follows the band's crossovers or its own frequencies.
enum class SideChainFiltering : int32_t {
    kBand = 0,
    kFree = 1,
};

/// Which signal is detected and which is processed once stereo linking goes beyond full
/// linking. The parameter offers only Mid and Side; the other two are set by the processor.
enum class StereoLinkMode : int32_t {
    kMid = 0,
    kSide = 1,
    kMidDetectionSideProcessing = 2,
    kSideDetectionMidProcessing = 3,
};

/// A band's solo and mute buttons combined (Solo/Mute State).
enum class SoloMuteState : int32_t {
    kNormal = 0,
    kSolo = 1,
    kMute = 2,
    kSoloMute = 3,  ///< soloed and muted: the mute wins
};

/// The level span of the editor's gain display (Display Range).
enum class DisplayRange : int32_t {
    k3Db = 0,
    k6Db = 1,
    k12Db = 2,
    k30Db = 3,
};

}  // namespace tessel
