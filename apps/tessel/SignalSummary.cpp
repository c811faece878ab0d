#include "SignalSummary.h"

#include <ebur128.h>

#include <cmath>
#include <limits>

namespace tessel::cli {

namespace {

double decibels(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

struct SignalMeter::Loudness {
    ebur128_state* state = nullptr;
    ~Loudness() {
        if (state != nullptr) ebur128_destroy(&state);
    }
};

SignalMeter::SignalMeter(int channels, double sampleRateHz)
    : loudness_(std::make_unique<Loudness>()), channels_(channels) {
    if (channels > 0)
        loudness_->state =
            ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(sampleRateHz),
                         EBUR128_MODE_I | EBUR128_MODE_LRA);
}

SignalMeter::~SignalMeter() = default;

void SignalMeter::add(const std::vector<std::vector<float>>& channels, std::size_t frames) {
    const auto count = static_cast<std::size_t>(channels_);
    interleaved_.resize(frames * count);
    for (std::size_t c = 0; c < count && c < channels.size(); ++c) {
        const float* from = channels[c].data();
        float peak = 0.0f;
        double sum = 0.0;
        for (std::size_t i = 0; i < frames; ++i) {
            peak = std::max(peak, std::abs(from[i]));
            sum += static_cast<double>(from[i]) * from[i];
            interleaved_[i * count + c] = from[i];
        }
        peak_ = std::max(peak_, static_cast<double>(peak));
        sumSquares_ += sum;
    }
    samples_ += static_cast<double>(frames * count);
    // A mono file is one loudspeaker in front: weighted as a single channel.
    if (loudness_->state != nullptr && frames > 0)
        ebur128_add_frames_float(loudness_->state, interleaved_.data(), frames);
}

SignalSummary SignalMeter::summary() const {
    SignalSummary summary;
    summary.peakDb = decibels(peak_);
    summary.rmsDb = decibels(samples_ > 0.0 ? std::sqrt(sumSquares_ / samples_) : 0.0);
    summary.loudnessLufs = -std::numeric_limits<double>::infinity();
    if (loudness_->state == nullptr) return summary;
    double loudness = 0.0;
    if (ebur128_loudness_global(loudness_->state, &loudness) == EBUR128_SUCCESS)
        summary.loudnessLufs = loudness;
    double range = 0.0;
    if (ebur128_loudness_range(loudness_->state, &range) == EBUR128_SUCCESS)
        summary.loudnessRangeLu = range;
    return summary;
}

SignalSummary SignalSummary::of(const AudioData& audio) {
    SignalMeter meter(static_cast<int>(audio.channels.size()), audio.sampleRateHz);
    meter.add(audio.channels, audio.frames());
    return meter.summary();
}

}  // namespace tessel::cli
