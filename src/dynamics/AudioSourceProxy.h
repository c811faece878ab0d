#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dynamics/AudioSource.h"
#include "support/CriticalSection.h"
#include "support/LockedSource.h"

namespace tessel {

/// A ring of interleaved float frames that a display reads: the capacity is the smallest multiple
/// of the chunk length above 11024 frames. A writer appends frames; the reader takes the frames
/// written since its last `markRead`, oldest first. Writing more than the capacity between two
/// reads overwrites the oldest frames and the readable count wraps, so readers poll often. All
/// access is bracketed by the proxy's own lock (`lock`/`unlock`, recursive); the writer is the
/// display feed, never the audio thread. [any thread, locking]
class AudioSourceProxy : public AudioSource, public LockedSource {
public:
    /// channels >= 1 and chunkFrames >= 1 (smaller values count as 1). Allocates the ring.
    AudioSourceProxy(int32_t channels, int32_t chunkFrames);

    // AudioSource: call between lock() and unlock().
    int32_t channelCount() const override { return channels_; }
    float sampleRate() const override { return sampleRate_; }
    int32_t readableFrames() const override;
    float sample(int32_t frame, int32_t channel) const override;
    void markRead() override { readOffset_ = writePosition_; }

    // LockedSource.
    void lock() override;
    void unlock() override;
    int32_t lockCount() const override { return lockCount_; }

    /// Appends frames of interleaved samples (channelCount() per frame); takes the lock itself.
    void write(const float* interleaved, int32_t frames);
    void setSampleRate(float sampleRate);

    int32_t chunkFrames() const noexcept { return chunkFrames_; }
    int32_t chunkCount() const noexcept { return chunkCount_; }
    int32_t capacity() const noexcept { return chunkFrames_ * chunkCount_; }
    int32_t writePosition() const noexcept { return writePosition_; }

private:
    int32_t channels_;
    int32_t chunkFrames_;
    int32_t chunkCount_;
    int32_t writePosition_ = 0;
    int32_t readOffset_ = 0;
    float sampleRate_ = 44100.0f;
    std::unique_ptr<CriticalSection> section_;
    int32_t lockCount_ = 0;
    std::vector<float> ring_;
};

}  // namespace tessel
