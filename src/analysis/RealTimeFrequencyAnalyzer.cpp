#include "analysis/RealTimeFrequencyAnalyzer.h"

#include <algorithm>
#include <bit>

namespace tessel {

RealTimeFrequencyAnalyzer::RealTimeFrequencyAnalyzer()
    : measurements_{SpectrumMeasurement(this), SpectrumMeasurement(this),
                    SpectrumMeasurement(this)},
      fft_(kMaximumSize, FFT::WindowType::kKaiser, kWindowSidelobesDb),
      work_(kMaximumSize),
      magnitudes_(kMaximumSize / 2 + 1) {
    for (Source& source : sources_)
        for (auto& channel : source.history)
            channel.assign(kMaximumSize, 0.0f);
}

void RealTimeFrequencyAnalyzer::setTransformSize(int32_t requested) noexcept {
    requestedSize_ = static_cast<int32_t>(
        std::bit_ceil(static_cast<uint32_t>(std::clamp(requested, kMinimumSize, kMaximumSize))));
}

void RealTimeFrequencyAnalyzer::reset() noexcept {
    for (Source& source : sources_) {
        source.samplesSeen = 0;
        source.sinceHop = 0;
        for (auto& channel : source.history)
            std::fill(channel.begin(), channel.end(), 0.0f);
    }
}

void RealTimeFrequencyAnalyzer::lock() {
    if (lockCount_++ == 0) analyse();
}

void RealTimeFrequencyAnalyzer::unlock() {
    if (lockCount_ > 0) --lockCount_;
}

void RealTimeFrequencyAnalyzer::analyse() {
    if (requestedSize_ != size_) {
        // Rebuilding the tables allocates: this is the editor thread, and it happens only when
        // the user picks another resolution.
        fft_.resize(requestedSize_);
        fft_.setWindow(FFT::WindowType::kKaiser, kWindowSidelobesDb);
        size_ = requestedSize_;
        for (Source& source : sources_)
            source.sinceHop = 0;
    }
    for (int32_t index = 0; index < kSourceCount; ++index) {
        Source& source = sources_[index];
        firstHopOfRead_[index] = true;
        if (source.audio == nullptr) continue;
        source.audio->lock();
        source.channels = std::min(source.audio->channelCount(), kMaxChannels);
        const int32_t length = source.audio->blockLength();
        for (int32_t b = 0; b < source.audio->blocksAvailable(); ++b) {
            std::array<const float*, kMaxChannels> channels{};
            for (int32_t c = 0; c < source.channels; ++c)
                channels[c] = source.audio->blockData(b, c);
            append(source, index, channels.data(), length);
        }
        source.audio->unlock();
    }
}

void RealTimeFrequencyAnalyzer::append(Source& source, int32_t index, const float* const* channels,
                                       int32_t count) {
    const int32_t hopLength = size_ / 4;
    for (int32_t done = 0; done < count;) {
        const int32_t chunk = std::min(count - done, hopLength - source.sinceHop);
        for (int32_t i = 0; i < chunk; ++i) {
            const int32_t at = (source.writePosition + i) % kMaximumSize;
            for (int32_t c = 0; c < source.channels; ++c)
                source.history[c][static_cast<std::size_t>(at)] = channels[c][done + i];
        }
        source.writePosition = (source.writePosition + chunk) % kMaximumSize;
        source.samplesSeen += chunk;
        source.sinceHop += chunk;
        done += chunk;
        if (source.sinceHop == hopLength) {
            source.sinceHop = 0;
            hop(source, index);
        }
    }
}

void RealTimeFrequencyAnalyzer::hop(Source& source, int32_t index) {
    SpectrumMeasurement& out = measurements_[index];
    const int32_t n = size_;
    const int32_t bins = n / 2 + 1;
    const int64_t silent = std::max<int64_t>(0, n - source.samplesSeen);  // leading zeros
    for (int32_t c = 0; c < source.channels; ++c) {
        const std::vector<float>& history = source.history[c];
        for (int32_t i = 0; i < n; ++i) {
            const int32_t at = (source.writePosition - n + i + 2 * kMaximumSize) % kMaximumSize;
            work_[static_cast<std::size_t>(i)] = i < silent ? 0.0f : history[at];
        }
        fft_.applyWindow(work_.data(), work_.data());
        fft_.forward(work_.data());
        fft_.magnitudes(work_.data(), magnitudes_.data(), fft_.windowNormalisation());
        const bool overwrite = c == 0 && firstHopOfRead_[index];
        for (int32_t k = 0; k < bins; ++k)
            out.bins_[k] = overwrite ? magnitudes_[k] : std::max(out.bins_[k], magnitudes_[k]);
    }
    firstHopOfRead_[index] = false;
    ++out.sequence_;
}

}  // namespace tessel
