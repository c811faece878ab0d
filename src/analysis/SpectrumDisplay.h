#pragma once

#include <cstdint>
#include <vector>

#include "analysis/SpectrumSource.h"

namespace tessel {

/// The analyser curve as the editor draws it: a list of columns, log-spaced from 20 Hz to
/// 20 kHz, each the maximum of a run of bins, in dB with a tilt pivoting at 1 kHz. Each display
/// frame the columns move towards their targets: rising with an attack time set by the transform
/// size (a longer transform shows a slower signal), falling with the release time of the speed
/// setting. Freeze fades the release out over 350 ms (the curve then holds its maxima) and back
/// in over 1 s. When audio stops, the targets drop to the floor after three spectrum periods.
/// The averaging mode shows the mean of all spectra since it began instead, faded in over the
/// first fs / (2N) spectra. Editor thread only; `setSettings` allocates when the layout changes.
class SpectrumDisplay {
public:
    static constexpr float kFloorDb = -120.0f;
    static constexpr float kSilenceDb = -180.0f;
    /// Attack time for a transform of N samples at fs: N * kAttackFactor * 21.533203 / fs
    /// seconds to cover 90 % of a rise (40 ms for 8192 at 44.1 kHz). The release time is the
    /// "Analyzer Speed" value in seconds (1.5 s for "Medium").
    static constexpr double kAttackFactor = 0.01;

    struct Settings {
        int32_t transformSize = 8192;
        float sampleRateHz = 44100.0f;
        float releaseValue = 1.5f;  ///< "Analyzer Speed": 6.0 (very slow) .. 0.3 (very fast)
        float tiltDbPerOctave = 0.0f;
        bool freeze = false;
        bool averaging = false;
    };

    explicit SpectrumDisplay(int32_t columns = 240);

    void setSettings(const Settings& settings);
    const Settings& settings() const noexcept { return settings_; }

    /// One display frame, dtMs after the previous one; `source` is locked by the caller.
    void update(const SpectrumSource& source, double dtMs);

    int32_t columnCount() const noexcept { return static_cast<int32_t>(columns_.size()); }
    /// Centre frequency of a column (the geometric middle of its bins), Hz.
    double columnFrequencyHz(int32_t column) const noexcept { return columns_[column].centreHz; }
    /// The level drawn for a column, dB.
    float levelDb(int32_t column) const noexcept { return columns_[column].currentDb; }
    /// Frames in which the loudest bin of a new spectrum was above -90 dB.
    uint64_t activeFrames() const noexcept { return activeFrames_; }
    /// The release multiplier of freeze: 1 unfrozen, 0 fully frozen.
    double freezeFactor() const noexcept { return freezeFactor_; }

private:
    struct Column {
        int32_t firstBin = 0, lastBin = 0;  // inclusive
        double centreHz = 1000.0;
        double tiltDb = 0.0;
        double targetDb = kFloorDb;
        float currentDb = kFloorDb;
        double sum = 0.0;  // averaging: linear column maxima added up
    };
    void layOut();
    void takeSpectrum(const float* bins, int32_t binCount);

    Settings settings_;
    int32_t requestedColumns_;
    std::vector<Column> columns_;
    uint32_t lastSequence_ = 0;
    double msSinceSpectrum_ = 0.0;
    double freezeFactor_ = 1.0;
    uint64_t averagedSpectra_ = 0;
    uint64_t activeFrames_ = 0;
};

}  // namespace tessel
