#include "analysis/AudioSourceProxy.h"

#include <algorithm>
#include <cstring>

namespace tessel {

AudioSourceProxy::AudioSourceProxy(int32_t channels, int32_t blockLength, int32_t ringSize) {
    configure(channels, blockLength, ringSize);
}

void AudioSourceProxy::configure(int32_t channels, int32_t blockLength, int32_t ringSize) {
    channels_ = std::max(channels, 1);
    blockLength_ = std::max(blockLength, 1);
    // One entry always stays empty so that a full ring and an empty one differ.
    ringSize_ = std::max(ringSize, 1) + 1;
    ring_.assign(static_cast<std::size_t>(ringSize_) * channels_ * blockLength_, 0.0f);
    read_ = write_ = 0;
}

void AudioSourceProxy::append(const float* channelMajor) {
    const std::size_t entry = static_cast<std::size_t>(channels_) * blockLength_;
    std::memcpy(ring_.data() + static_cast<std::size_t>(write_) * entry, channelMajor,
                entry * sizeof(float));
    write_ = (write_ + 1) % ringSize_;
    if (write_ == read_) read_ = (read_ + 1) % ringSize_;  // full: the oldest block goes
}

void AudioSourceProxy::unlock() {
    if (lockCount_ > 0 && --lockCount_ == 0) read_ = write_;
}

const float* AudioSourceProxy::blockData(int32_t block, int32_t channel) const {
    const int32_t entry = (read_ + block) % ringSize_;
    return ring_.data() + (static_cast<std::size_t>(entry) * channels_ + channel) * blockLength_;
}

int32_t AudioSourceProxy::blocksAvailable() const {
    return (write_ - read_ + ringSize_) % ringSize_;
}

}  // namespace tessel
