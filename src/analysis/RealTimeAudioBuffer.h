#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/AudioSource.h"
#include "engine/wave/Producer.h"
#include "support/LockFreeIndexQueue.h"
#include "support/Property.h"

namespace tessel {

/// Carries audio from the audio thread to the analyser without either side waiting: the buffer
/// is a root of the graph that, each cycle, copies the blocks of its enabled measurements (pre,
/// post and side chain, one input per channel) into fixed 256-sample pool blocks; a full block
/// goes to a lock-free queue of filled blocks, from which the display-data thread takes them
/// (lock), reads them (the measurements are `AudioSource`s) and returns them to the lock-free
/// free pool (last unlock). When the reader stops, the pool runs dry: with stop-on-overflow the
/// buffer sets the overflow flag and drops audio until blocks come back; without it the oldest
/// filled block is reused. Writing happens only while the display is active (the editor fetched
/// display data within the last second). `configure` allocates [main thread, audio stopped];
/// the cycle is [audio thread, lock-free, allocation-free]; lock/unlock and the measurements'
/// reads are [display-data thread].
class RealTimeAudioBuffer : private wave::Producer, public PropertyOwner {
public:
    static constexpr int32_t kMeasurementCount = 3;
    static constexpr int32_t kPre = 0, kPost = 1, kSideChain = 2;
    static constexpr int32_t kMaxChannels = 2;
    static constexpr int32_t kBlockLength = 256;

    /// One signal the analyser can show; an `AudioSource` over the blocks the buffer's lock
    /// collected.
    class Measurement : public AudioSource {
    public:
        /// Off: the measurement's inputs are not pulled or copied and it shows no blocks.
        Property<bool>& enabled() noexcept { return enabled_; }
        /// The producer of one channel (null reads as silence). [main thread]
        void setInput(int32_t channel, wave::Producer* input) noexcept;

        void lock() override { owner_->lock(); }
        void unlock() override { owner_->unlock(); }
        int32_t lockCount() const override { return owner_->lockCount_; }
        int32_t blockLength() const override { return kBlockLength; }
        const float* blockData(int32_t block, int32_t channel) const override;
        int32_t blocksAvailable() const override;
        int32_t channelCount() const override { return owner_->channels_; }

    private:
        friend class RealTimeAudioBuffer;
        Measurement(RealTimeAudioBuffer* owner, int32_t index)
            : enabled_(owner, true), owner_(owner), index_(index) {}
        Property<bool> enabled_;
        RealTimeAudioBuffer* owner_;
        int32_t index_;
        std::array<wave::Producer*, kMaxChannels> inputs_{};
    };

    explicit RealTimeAudioBuffer(wave::Environment* environment);
    ~RealTimeAudioBuffer() override;

    /// Pool blocks for a sample rate: 36, more above 96 kHz, so that about 9216 samples per
    /// channel are in flight below 96 kHz.
    static int32_t poolBlocksFor(float sampleRateHz) noexcept;

    /// Channel count of the host layout (1 or 2) and sample rate; rebuilds the pool and drops
    /// all audio in flight. [main thread, neither audio nor reader running]
    void configure(int32_t channels, float sampleRateHz);

    Measurement& measurement(int32_t index) noexcept { return *measurements_[index]; }
    /// The graph node to add as a root of the environment.
    wave::Producer* node() noexcept { return this; }

    /// On (the default): a dry pool stops writing and flags the overflow; off: the oldest filled
    /// block is reused.
    Property<bool>& stopOnOverflow() noexcept { return stopOnOverflow_; }
    /// True once audio was dropped or overwritten for want of a free block; cleared by the
    /// reader.
    bool overflowed() const noexcept { return overflow_.load(std::memory_order_relaxed); }
    void clearOverflow() noexcept { overflow_.store(false, std::memory_order_relaxed); }

    /// Nesting lock of the reader: the first lock collects every filled block, the last unlock
    /// returns them to the pool. [display-data thread]
    void lock();
    void unlock();
    int32_t poolBlocks() const noexcept { return poolBlocks_; }
    int32_t channels() const noexcept { return channels_; }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    void reset() override;
    void propertyChanged(AbstractProperty*) override {}

private:
    float* blockStart(int32_t poolIndex) noexcept {
        return pool_.data() + static_cast<std::size_t>(poolIndex) * blockFloats_;
    }
    /// Takes a block to fill: a free one, or with stop-on-overflow off the oldest filled one.
    bool takeBlock() noexcept;
    void copyChunk(const std::array<const float*, kMeasurementCount * kMaxChannels>& inputs,
                   int32_t offset, int32_t count) noexcept;

    std::array<std::unique_ptr<Measurement>, kMeasurementCount> measurements_;
    Property<bool> stopOnOverflow_;
    int32_t channels_ = 1;
    int32_t poolBlocks_ = 0;
    std::size_t blockFloats_ = 0;
    std::vector<float> pool_;
    std::unique_ptr<LockFreeIndexQueue<uint16_t>> free_;
    std::unique_ptr<LockFreeIndexQueue<uint16_t>> filled_;
    int32_t current_ = -1;  // pool block being filled, -1 for none [audio thread]
    int32_t fill_ = 0;
    std::atomic<bool> overflow_{false};
    // Reader side.
    int32_t lockCount_ = 0;
    std::vector<uint16_t> collected_;
    int32_t collectedCount_ = 0;
};

}  // namespace tessel
