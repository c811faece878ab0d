#include "dynamics/AudioSourceProxy.h"

#include <algorithm>

namespace tessel {

namespace {
constexpr int32_t kMinimumFrames = 11024;
}  // namespace

AudioSourceProxy::AudioSourceProxy(int32_t channels, int32_t chunkFrames)
    : channels_(std::max(channels, 1)),
      chunkFrames_(std::max(chunkFrames, 1)),
      chunkCount_((kMinimumFrames + chunkFrames_) / chunkFrames_),
      section_(CriticalSection::create()),
      ring_(static_cast<std::size_t>(capacity()) * static_cast<std::size_t>(channels_), 0.0f) {}

void AudioSourceProxy::lock() {
    section_->lock();
    ++lockCount_;
}

void AudioSourceProxy::unlock() {
    --lockCount_;
    section_->unlock();
}

int32_t AudioSourceProxy::readableFrames() const {
    const int32_t n = capacity();
    if (n < 1) return 0;
    return (writePosition_ - readOffset_ + n) % n;
}

float AudioSourceProxy::sample(int32_t frame, int32_t channel) const {
    const int32_t n = capacity();
    if (n < 1 || frame < 0 || channel < 0 || channel >= channels_) return 0.0f;
    // Frames past the capacity address the ring directly (no read offset).
    const int32_t f = (frame + (frame < n ? readOffset_ : 0)) % n;
    return ring_[static_cast<std::size_t>(f) * static_cast<std::size_t>(channels_) +
                 static_cast<std::size_t>(channel)];
}

void AudioSourceProxy::write(const float* interleaved, int32_t frames) {
    ScopedLock guard(*section_);
    const int32_t n = capacity();
    for (int32_t i = 0; i < frames; ++i) {
        std::copy_n(interleaved + static_cast<std::size_t>(i) * static_cast<std::size_t>(channels_),
                    channels_,
                    ring_.begin() + static_cast<std::ptrdiff_t>(writePosition_) * channels_);
        writePosition_ = (writePosition_ + 1) % n;
    }
}

void AudioSourceProxy::setSampleRate(float sampleRate) {
    ScopedLock guard(*section_);
    sampleRate_ = sampleRate;
}

}  // namespace tessel
