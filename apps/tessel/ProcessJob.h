#pragma once

#include <functional>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "ReportPlot.h"
#include "SignalSummary.h"

namespace tessel {
class PresetDocument;
}

namespace tessel::cli {

/// What one render did: the latency removed, the signals' summaries and each band's strongest
/// gain change (bands in use only).
struct RenderStats {
    struct BandChange {
        int band = 0;  ///< 0..5
        double largestDb = 0.0;
    };
    int latencySamples = 0;
    double durationSeconds = 0.0;
    SignalSummary input;
    SignalSummary output;
    std::vector<BandChange> bands;
};

/// A whole signal run through Tessel with a document's parameters.
struct RenderOutcome {
    AudioData output;
    RenderStats stats;
    double renderSeconds = 0.0;   ///< wall-clock time of the processing
    double measureSeconds = 0.0;  ///< of the summaries (peak, RMS, loudness)
    ProcessReport report;         ///< title, input and output left for the caller to fill
};

/// Renders `input` (mono or stereo) with every parameter of `settings`, the side chain (may be
/// null) feeding the external input, in host blocks of `blockSize`. The output lines up with
/// the input and has its length. Signals in memory: for short ones (the demo, tests).
RenderOutcome renderAudio(const AudioData& input, const AudioData* sideChain,
                          const PresetDocument& settings, int blockSize);

/// One file to process: paths (side chain and report may be empty), the settings, the block
/// size and the output format name (empty: the input's format).
struct ProcessJob {
    std::string inputPath;
    std::string outputPath;
    std::string sideChainPath;
    std::string reportPath;
    std::string title;
    const PresetDocument* settings = nullptr;
    int blockSize = 512;
    std::string formatName;
};

struct ProcessOutcome {
    bool ok = false;
    std::string error;  ///< one line, when not ok
    RenderStats stats;
    /// Wall-clock time of each stage, s: opening and reading the files, processing, measuring
    /// the summaries, and writing the output (and report).
    double readSeconds = 0.0;
    double renderSeconds = 0.0;
    double measureSeconds = 0.0;
    double writeSeconds = 0.0;
};

/// Reads, checks, renders and writes one file (and its report), streaming it through in chunks
/// of 4096 frames, so memory stays small whatever the file's length. Nothing is written when any
/// check fails; the output and report go through temporary files renamed into place.
ProcessOutcome runProcessJob(const ProcessJob& job,
                             const std::function<void(double)>& progress = {});

/// Runs task(0) .. task(count - 1) on up to as many threads as the machine has cores (this
/// thread among them), each task once.
void runInParallel(std::size_t count, const std::function<void(std::size_t)>& task);

/// The summary lines `tessel process` prints for a run.
std::string formatSummary(const RenderStats& stats);
/// One line of a run's stage times, with the realtime factor of the render.
std::string formatTimes(const ProcessOutcome& outcome);

}  // namespace tessel::cli
