#include "analysis/RealTimeAudioBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/wave/Environment.h"

namespace tessel {

void RealTimeAudioBuffer::Measurement::setInput(int32_t channel, wave::Producer* input) noexcept {
    if (channel >= 0 && channel < kMaxChannels) inputs_[channel] = input;
}

const float* RealTimeAudioBuffer::Measurement::blockData(int32_t block, int32_t channel) const {
    const int32_t pooled = owner_->collected_[static_cast<std::size_t>(block)];
    return owner_->blockStart(pooled) +
           static_cast<std::size_t>(index_ * owner_->channels_ + channel) * kBlockLength;
}

int32_t RealTimeAudioBuffer::Measurement::blocksAvailable() const {
    return enabled_.get() ? owner_->collectedCount_ : 0;
}

RealTimeAudioBuffer::RealTimeAudioBuffer(wave::Environment* environment)
    : wave::Producer(environment), stopOnOverflow_(this, true) {
    for (int32_t m = 0; m < kMeasurementCount; ++m)
        measurements_[m].reset(new Measurement(this, m));
    configure(1, environment->sampleRate());
}

RealTimeAudioBuffer::~RealTimeAudioBuffer() = default;

int32_t RealTimeAudioBuffer::poolBlocksFor(float sampleRateHz) noexcept {
    constexpr int32_t kBlocksAt96k = 8192 / kBlockLength + 4;
    const double rate = std::clamp(static_cast<double>(sampleRateHz), 0.0, 768000.0);
    return static_cast<int32_t>(std::lround(kBlocksAt96k * std::max(1.0, rate / 96000.0)));
}

void RealTimeAudioBuffer::configure(int32_t channels, float sampleRateHz) {
    channels_ = std::clamp(channels, 1, kMaxChannels);
    poolBlocks_ = poolBlocksFor(sampleRateHz);
    blockFloats_ = static_cast<std::size_t>(kMeasurementCount) * channels_ * kBlockLength;
    pool_.assign(blockFloats_ * static_cast<std::size_t>(poolBlocks_), 0.0f);
    // Fixed-size queues (room for every block plus the two reserved nodes) never allocate.
    const auto nodes = static_cast<std::uint32_t>(poolBlocks_) + 2;
    free_ = std::make_unique<LockFreeIndexQueue<uint16_t>>(nodes, nodes);
    filled_ = std::make_unique<LockFreeIndexQueue<uint16_t>>(nodes, nodes);
    for (int32_t i = 0; i < poolBlocks_; ++i)
        free_->push(static_cast<uint16_t>(i));
    collected_.assign(static_cast<std::size_t>(poolBlocks_), 0);
    collectedCount_ = 0;
    current_ = -1;
    fill_ = 0;
    clearOverflow();
}

void RealTimeAudioBuffer::lock() {
    if (lockCount_++ > 0) return;
    uint16_t index = 0;
    collectedCount_ = 0;
    while (collectedCount_ < poolBlocks_ && filled_->pop(index))
        collected_[static_cast<std::size_t>(collectedCount_++)] = index;
}

void RealTimeAudioBuffer::unlock() {
    if (lockCount_ <= 0 || --lockCount_ > 0) return;
    for (int32_t i = 0; i < collectedCount_; ++i)
        free_->push(collected_[static_cast<std::size_t>(i)]);
    collectedCount_ = 0;
}

bool RealTimeAudioBuffer::takeBlock() noexcept {
    uint16_t index = 0;
    if (!free_->pop(index)) {
        // Audio is lost either way: the reader learns it from the flag.
        overflow_.store(true, std::memory_order_relaxed);
        if (stopOnOverflow_.get() || !filled_->pop(index)) return false;
    }
    current_ = index;
    fill_ = 0;
    return true;
}

void RealTimeAudioBuffer::copyChunk(
    const std::array<const float*, kMeasurementCount * kMaxChannels>& inputs, int32_t offset,
    int32_t count) noexcept {
    float* block = blockStart(current_);
    for (int32_t m = 0; m < kMeasurementCount; ++m) {
        for (int32_t c = 0; c < channels_; ++c) {
            const float* in = inputs[static_cast<std::size_t>(m * kMaxChannels + c)];
            if (in == nullptr) continue;
            float* to = block + static_cast<std::size_t>(m * channels_ + c) * kBlockLength + fill_;
            std::memcpy(to, in + offset, static_cast<std::size_t>(count) * sizeof(float));
        }
    }
}

void RealTimeAudioBuffer::process(wave::BasicBlock<float>*, int32_t frames, int32_t) noexcept {
    if (!environment()->displayActive()) return;
    std::array<const float*, kMeasurementCount * kMaxChannels> inputs{};
    bool any = false;
    for (int32_t m = 0; m < kMeasurementCount; ++m) {
        const Measurement& measurement = *measurements_[m];
        if (!measurement.enabled_.get()) continue;
        any = true;
        for (int32_t c = 0; c < channels_; ++c)
            inputs[static_cast<std::size_t>(m * kMaxChannels + c)] =
                pullOrZero(measurement.inputs_[c], environment(), frames)->data();
    }
    if (!any) return;
    for (int32_t done = 0; done < frames;) {
        if (current_ < 0 && !takeBlock()) return;  // dry pool: this cycle's audio is dropped
        const int32_t count = std::min(frames - done, kBlockLength - fill_);
        copyChunk(inputs, done, count);
        fill_ += count;
        done += count;
        if (fill_ == kBlockLength) {
            filled_->push(static_cast<uint16_t>(current_));
            current_ = -1;
        }
    }
}

void RealTimeAudioBuffer::reset() {
    fill_ = 0;
}

}  // namespace tessel
