#pragma once

#include <memory>
#include <vector>

#include "AudioFile.h"

namespace tessel::cli {

/// What `tessel process` reports about a signal: sample peak and RMS over all channels (dBFS),
/// integrated loudness (LUFS) and loudness range (LU) by EBU R128, measured with libebur128.
/// Loudness of a signal too short or too quiet to gate is -inf (shown as "-inf").
struct SignalSummary {
    double peakDb = 0.0;
    double rmsDb = 0.0;
    double loudnessLufs = 0.0;
    double loudnessRangeLu = 0.0;

    static SignalSummary of(const AudioData& audio);
};

/// Measures a signal that arrives in chunks of planar channels.
class SignalMeter {
public:
    SignalMeter(int channels, double sampleRateHz);
    ~SignalMeter();

    void add(const std::vector<std::vector<float>>& channels, std::size_t frames);
    SignalSummary summary() const;

private:
    struct Loudness;  ///< libebur128's state
    std::unique_ptr<Loudness> loudness_;
    int channels_;
    double peak_ = 0.0;
    double sumSquares_ = 0.0;
    double samples_ = 0.0;
    std::vector<float> interleaved_;
};

}  // namespace tessel::cli
