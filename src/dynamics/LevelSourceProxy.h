#pragma once

#include <array>
#include <cstdint>

#include "dynamics/LevelSource.h"

namespace tessel {

/// A value copy of a level source for the editor: its owner stores detection and up to five
/// channel values, and reads back (and clears) the requests the editor made. Channels outside
/// 0 .. 4 read as -180 dB. Not synchronised: owner and editor use it from one thread, or the
/// owner guards it [editor thread].
class LevelSourceProxy : public LevelSource {
public:
    static constexpr int32_t kChannels = 5;
    static constexpr uint8_t kResetPeakRequest = 1;
    static constexpr uint8_t kResetHoldRequest = 2;

    Detection detection() const override { return detection_; }
    float level(int32_t channel) const override;
    void resetPeak() override { requests_ |= kResetPeakRequest; }
    void resetHold() override { requests_ |= kResetHoldRequest; }

    void setDetection(Detection detection) noexcept { detection_ = detection; }
    void setLevel(int32_t channel, float levelDb) noexcept;
    /// The request bits made since the last call; clears them.
    uint8_t takeRequests() noexcept;

private:
    Detection detection_ = Detection::kLevel;
    std::array<float, kChannels> levels_{-180.0f, -180.0f, -180.0f, -180.0f, -180.0f};
    uint8_t requests_ = 0;
};

}  // namespace tessel
