#pragma once

#include <cstdint>

namespace tessel {

/// A stream of interleaved float frames that a reader consumes at its own pace: how many frames
/// are new since the last `markRead`, and each sample of them. Frame 0 is the oldest unread one.
/// Implementations say which thread may call what.
class AudioSource {
public:
    virtual ~AudioSource() = default;
    virtual int32_t channelCount() const = 0;
    virtual float sampleRate() const = 0;
    /// Frames written since the last `markRead`.
    virtual int32_t readableFrames() const = 0;
    /// Sample of one channel of an unread frame (frame 0 = the oldest).
    virtual float sample(int32_t frame, int32_t channel) const = 0;
    /// Everything written so far counts as read.
    virtual void markRead() = 0;
};

}  // namespace tessel
