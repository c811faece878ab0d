#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "analysis/AudioSource.h"
#include "analysis/SpectrumSource.h"
#include "support/FFT.h"

namespace tessel {

/// Turns the analyser's audio (pre, post, side chain; up to two channels each) into one magnitude
/// spectrum per source: every N/4 new samples (75 % overlap) the last N samples of each channel
/// are windowed (Kaiser, 100 dB sidelobes), transformed and normalised so that a full-scale sine
/// on a bin reads 1; a source's spectrum is the bin-wise maximum over its channels and over every
/// hop computed in one read. The work runs on the first lock of a read (any measurement's), in a
/// batch of all hops that accumulated since the previous read. Editor thread only; construction
/// and size changes allocate, reads do not.
class RealTimeFrequencyAnalyzer {
public:
    static constexpr int32_t kSourceCount = 3;
    static constexpr int32_t kMaxChannels = 2;
    static constexpr int32_t kMinimumSize = 1024;
    static constexpr int32_t kMaximumSize = 8192;
    static constexpr float kWindowSidelobesDb = 100.0f;

    /// The spectrum of one source.
    class SpectrumMeasurement : public SpectrumSource {
    public:
        void lock() override { owner_->lock(); }
        void unlock() override { owner_->unlock(); }
        int32_t lockCount() const override { return owner_->lockCount_; }
        const float* spectrum() const override { return sequence_ > 0 ? bins_.data() : nullptr; }
        int32_t binCount() const override { return owner_->size_ / 2 + 1; }
        uint32_t sequenceNumber() const override { return sequence_; }

    private:
        friend class RealTimeFrequencyAnalyzer;
        explicit SpectrumMeasurement(RealTimeFrequencyAnalyzer* owner) : owner_(owner) {}
        RealTimeFrequencyAnalyzer* owner_;
        std::vector<float> bins_ = std::vector<float>(kMaximumSize / 2 + 1, 0.0f);
        uint32_t sequence_ = 0;
    };

    RealTimeFrequencyAnalyzer();

    /// The audio of source `index` (0 pre, 1 post, 2 side chain); null for none.
    void setSource(int32_t index, AudioSource* source) noexcept { sources_[index].audio = source; }
    /// The transform size: the smallest power of two not below `requested`, within 1024..8192.
    /// Takes effect at the next read; the histories are kept.
    void setTransformSize(int32_t requested) noexcept;
    int32_t transformSize() const noexcept { return requestedSize_; }

    SpectrumMeasurement& measurement(int32_t index) noexcept { return measurements_[index]; }
    /// Forgets the audio seen so far: the next spectra start from silence.
    void reset() noexcept;

private:
    struct Source {
        AudioSource* audio = nullptr;
        // Ring of the last kMaximumSize samples per channel.
        std::array<std::vector<float>, kMaxChannels> history;
        int32_t writePosition = 0;
        int64_t samplesSeen = 0;  // until N samples were seen, older history reads as zeros
        int32_t sinceHop = 0;
        int32_t channels = 0;
    };

    void lock();
    void unlock();
    /// Collects every source's new blocks and computes the due hops.
    void analyse();
    void append(Source& source, int32_t index, const float* const* channels, int32_t count);
    void hop(Source& source, int32_t index);

    std::array<Source, kSourceCount> sources_;
    std::array<SpectrumMeasurement, kSourceCount> measurements_;
    std::array<bool, kSourceCount> firstHopOfRead_{};
    FFT fft_;
    int32_t requestedSize_ = kMaximumSize;
    int32_t size_ = kMaximumSize;
    int32_t lockCount_ = 0;
    std::vector<float> work_;
    std::vector<float> magnitudes_;
};

}  // namespace tessel
