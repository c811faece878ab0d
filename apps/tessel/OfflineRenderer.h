#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "AudioFile.h"
#include "engine/tessel/TesselProcessor.h"

namespace tessel::cli {

/// Runs a Tessel processor over a signal the way an offline host does: parameters go in through
/// the processor's queue before the first block, audio in host blocks of a fixed size whatever
/// the chunks it arrives in, and the output is shifted by the latency and the tail flushed with
/// silence, so that it lines up with the input sample for sample and has its length. Mono input
/// runs the mono layout, stereo the stereo one; a side chain feeds the external input. While it
/// runs it records, per window of `kTraceWindow` samples of output, every band's strongest gain
/// change in dB. Signals stream through: memory stays a few blocks whatever their length.
class OfflineRenderer {
public:
    static constexpr std::size_t kTraceWindow = 1024;
    using Planar = std::vector<std::vector<float>>;

    /// channels 1 or 2.
    OfflineRenderer(int channels, double sampleRateHz, bool sideChain);
    ~OfflineRenderer();

    TesselProcessor& processor() noexcept { return *processor_; }
    /// Sets a parameter's value (value domain) through the queue, as a host does.
    void set(int identifier, float value);
    /// The latency the processor reports for the parameters set so far, in samples.
    int latency();

    /// Starts a signal: host blocks of `blockSize` samples (at least 1).
    void begin(int blockSize);
    /// Takes the next `frames` frames of input (planar; `sideChain` may be empty) and puts the
    /// output that is ready, lined up with the input, into `output` (replacing its contents).
    void push(const Planar& input, const Planar& sideChain, std::size_t frames, Planar& output);
    /// Ends the signal: the rest of the output, up to the input's length.
    void finish(Planar& output);

    /// A whole signal at once (begin, push, finish).
    AudioData render(const AudioData& in, const AudioData* sideChain, int blockSize);

    /// Per band (0..5), the strongest gain change of each window, dB (0 for a band not in use).
    const std::vector<std::vector<float>>& gainTraces() const noexcept { return traces_; }
    /// Whether band b was in use (enabled) for the render.
    bool bandInUse(int band) const;

private:
    /// Runs one host block from the staged input and appends its output past the latency.
    void runBlock(Planar& output);
    /// Closes the windows that ended in the block just run with each band's strongest gain
    /// change.
    void trace(std::size_t windowsEnded);

    std::unique_ptr<TesselProcessor> processor_;
    int channels_;
    bool sideChain_;
    std::size_t block_ = 512;
    std::size_t staged_ = 0;     ///< frames in the staging block
    std::size_t fedFrames_ = 0;  ///< input frames taken so far
    std::size_t processed_ = 0;  ///< frames the processor has run
    std::size_t delivered_ = 0;  ///< output frames handed out
    std::size_t latency_ = 0;
    std::size_t nextTrace_ = 0;
    Planar stage_;     ///< [main channels, then side-chain channels][block]
    Planar blockOut_;  ///< [channel][block]
    std::vector<std::vector<float>> traces_;
};

}  // namespace tessel::cli
