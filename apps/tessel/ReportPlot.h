#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "AudioFile.h"

namespace tessel {
class FloatingMultiBandModel;
class TesselProcessor;
}  // namespace tessel

namespace tessel::cli {

/// Pixel sizes of the pictures: a process report and a layout plot.
constexpr int kReportWidth = 1600;
constexpr int kReportHeight = 1000;
constexpr int kLayoutPlotWidth = 1200;
constexpr int kLayoutPlotHeight = 640;

/// The responses of a band layout on a logarithmic frequency grid: one curve per model band
/// (dB), which user bands it carries, and the sum of all bands.
struct LayoutResponses {
    std::vector<double> frequenciesHz;
    std::vector<std::vector<double>> bandDb;  ///< [model band][frequency]
    std::vector<std::string> bandLabels;      ///< "Band 1", "Band 2+3", "(gap)"
    std::vector<int> userBand;                ///< [model band]: first user band carried, or -1
    std::vector<double> sumDb;
};

/// A layout's responses from 20 Hz to 20 kHz in its crossover model's processing mode and rate.
/// Reads a copy of the layout, so the model's own frequency grid (which may feed linear-phase
/// kernels) is left as it is.
LayoutResponses layoutResponses(const FloatingMultiBandModel& layout);
/// The layout a processor runs now (its parameters applied).
LayoutResponses layoutResponses(TesselProcessor& processor);

/// A waveform reduced, as it streams by, to the smallest and largest finite sample of every
/// channel per column (more columns than any plot has pixels), with its peak and duration, so
/// that a report never needs the whole signal in memory.
class WaveformEnvelope {
public:
    static constexpr std::size_t kColumns = 4096;

    WaveformEnvelope() = default;
    WaveformEnvelope(std::size_t totalFrames, double sampleRateHz);
    static WaveformEnvelope of(const AudioData& audio);

    /// The next `frames` frames of planar channels; frames beyond the total are ignored.
    void add(const std::vector<std::vector<float>>& channels, std::size_t frames);

    /// Smallest and largest sample over the columns [first, last); false when none is finite.
    bool range(std::size_t first, std::size_t last, float& low, float& high) const;
    std::size_t columns() const noexcept { return low_.size(); }
    double peak() const noexcept { return peak_; }
    double seconds() const noexcept { return seconds_; }

private:
    std::size_t totalFrames_ = 0;
    std::size_t added_ = 0;
    double seconds_ = 0.0;
    double peak_ = 0.0;
    std::vector<float> low_, high_;
    std::vector<bool> seen_;
};

/// What a report shows of one `tessel process` run.
struct ProcessReport {
    std::string title;                             ///< file name and preset
    WaveformEnvelope input;                        ///< the input as read
    WaveformEnvelope output;                       ///< the output, lined up with the input
    std::vector<std::vector<float>> gainTracesDb;  ///< per band (0..5): gain change per window
    std::vector<bool> bandInUse;                   ///< per band (0..5)
    double traceWindowSeconds = 0.0;
    LayoutResponses layout;
};

/// Draws a report as a PNG: the waveform in and out, each band's gain change over time, and the
/// layout's responses, kReportWidth x kReportHeight. Written through a temporary file renamed into
/// place. False with a one-line reason otherwise.
bool writeProcessReport(const std::string& path, const ProcessReport& report, std::string& error);

/// Draws the layout's responses alone as a PNG (same rules), kLayoutPlotWidth x kLayoutPlotHeight.
bool writeLayoutPlot(const std::string& path, const LayoutResponses& layout,
                     const std::string& title, std::string& error);

}  // namespace tessel::cli
