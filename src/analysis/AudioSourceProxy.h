#pragma once

#include <cstdint>
#include <vector>

#include "analysis/AudioSource.h"

namespace tessel {

/// The editor's copy of one analyser measurement: a ring of blocks that the display-data reader
/// appends to and the analyser reads. Unlocking marks everything read. A ring that is full drops
/// its oldest block, so a reader that falls behind loses the past, never the present. Editor
/// thread only; only construction and `configure` allocate.
class AudioSourceProxy : public AudioSource {
public:
    AudioSourceProxy(int32_t channels, int32_t blockLength, int32_t ringSize);

    /// New shape; drops every block. [editor thread]
    void configure(int32_t channels, int32_t blockLength, int32_t ringSize);
    /// Appends one block: channelCount() channels of blockLength() samples each, channel-major.
    void append(const float* channelMajor);

    void lock() override { ++lockCount_; }
    void unlock() override;
    int32_t lockCount() const override { return lockCount_; }
    int32_t blockLength() const override { return blockLength_; }
    const float* blockData(int32_t block, int32_t channel) const override;
    int32_t blocksAvailable() const override;
    int32_t channelCount() const override { return channels_; }

private:
    int32_t channels_ = 1;
    int32_t blockLength_ = 1;
    int32_t ringSize_ = 2;
    int32_t read_ = 0;
    int32_t write_ = 0;
    int32_t lockCount_ = 0;
    std::vector<float> ring_;
};

}  // namespace tessel
