#pragma once

#include <cmath>

namespace tessel {

/// Frequencies travel through parameters, properties and control blocks as octave values:
/// log2 of the frequency in Hz (10.0 = 1024 Hz, 4.321928 = 20 Hz). Linear steps in octave
/// values are equal musical intervals, which is what smoothing and interpolation want.
inline double hzToOctave(double frequencyHz) noexcept {
    return std::log2(frequencyHz);
}

/// Octave value (log2 Hz) back to Hz.
inline double octaveToHz(double frequencyOctaves) noexcept {
    return std::exp2(frequencyOctaves);
}

/// Octave values of the ends of the audible range that the product uses.
inline constexpr double kOctave20Hz = 4.321928094887362;
inline constexpr double kOctave30Hz = 4.906890595608519;
inline constexpr double kOctave30kHz = 14.872674880270605;

}  // namespace tessel
