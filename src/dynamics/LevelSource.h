#pragma once

#include <cstdint>

namespace tessel {

/// A read-only level that the editor polls: meters, gain-reduction displays. Values are decibels.
/// Implementations must answer without blocking the audio thread (copies, atomics or a proxy
/// refreshed by the owner). All operations are called from the editor thread [editor thread].
class LevelSource {
public:
    /// Which way is stronger: kLevel (higher values, combined by maximum) or kGainReduction
    /// (lower values, combined by minimum).
    enum class Detection : int32_t { kGainReduction = 0, kLevel = 1 };
    /// How an editor meter shows a source.
    enum class Info : int32_t { kPeak = 0, kRms = 1, kGainReduction = 2 };

    virtual ~LevelSource() = default;
    /// [editor thread]
    virtual Detection detection() const = 0;
    /// The current value of one channel, dB. [editor thread]
    virtual float level(int32_t channel) const = 0;
    /// Asks the source to drop its held peak. [editor thread]
    virtual void resetPeak() = 0;
    /// Asks the source to drop any other held state (clip indicators); meters ignore it.
    /// [editor thread]
    virtual void resetHold() = 0;
};

}  // namespace tessel
