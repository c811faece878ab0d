#include "OfflineRenderer.h"

#include <algorithm>
#include <cmath>

namespace tessel::cli {

namespace {
constexpr int32_t kMonoLayout = 0;
constexpr int32_t kStereoLayout = 1;
}  // namespace

OfflineRenderer::OfflineRenderer(int channels, double sampleRateHz, bool sideChain)
    : processor_(std::make_unique<TesselProcessor>(channels == 1 ? kMonoLayout : kStereoLayout,
                                                   sideChain)),
      channels_(channels == 1 ? 1 : 2),
      sideChain_(sideChain),
      traces_(TesselProcessor::kBandCount) {
    processor_->environment()->setSampleRate(static_cast<float>(sampleRateHz));
    if (sideChain) {
        processor_->setSideChainPresent(true);
        processor_->setSideChainConnected(true);
    }
}

OfflineRenderer::~OfflineRenderer() = default;

void OfflineRenderer::set(int identifier, float value) {
    processor_->setParameter(identifier, value, GenericPluginProcessor::kFromHost);
}

int OfflineRenderer::latency() {
    processor_->applyParameterChanges();
    return processor_->latency();
}

bool OfflineRenderer::bandInUse(int band) const {
    return static_cast<BandState>(processor_->band(band).state.storedValue()) ==
           BandState::kEnabled;
}

void OfflineRenderer::begin(int blockSize) {
    block_ = static_cast<std::size_t>(std::max(blockSize, 1));
    latency_ = static_cast<std::size_t>(latency());
    staged_ = fedFrames_ = processed_ = delivered_ = 0;
    nextTrace_ = latency_ + kTraceWindow;
    stage_.assign(static_cast<std::size_t>(channels_) * 2, std::vector<float>(block_));
    blockOut_.assign(static_cast<std::size_t>(channels_), std::vector<float>(block_));
    for (auto& trace : traces_)
        trace.clear();
    // The band meters are set up for an editor's gain-reduction display: 0 dB at the top. A
    // band with a positive Range raises its signal, so for it the strongest change is the
    // largest gain, and the meter must reach above 0 dB.
    for (int b = 0; b < TesselProcessor::kBandCount; ++b) {
        const bool raises = processor_->band(b).range.currentValue() > 0.0f;
        for (int c = 0; c < channels_; ++c) {
            LevelMeter& meter = processor_->tesselChannel(c).band(b).gainMeter();
            meter.detectionProperty() =
                raises ? LevelSource::Detection::kLevel : LevelSource::Detection::kGainReduction;
            meter.topDb() = raises ? 36.0f : 0.0f;
            meter.floorDb() = raises ? -36.0f : -30.0f;
            meter.resetPeak();
        }
    }
}

void OfflineRenderer::push(const Planar& input, const Planar& sideChain, std::size_t frames,
                           Planar& output) {
    output.assign(static_cast<std::size_t>(channels_), {});
    for (std::size_t at = 0; at < frames;) {
        const std::size_t n = std::min(block_ - staged_, frames - at);
        for (int c = 0; c < channels_ * 2; ++c) {
            const bool side = c >= channels_;
            const Planar& source = side ? sideChain : input;
            float* to = stage_[static_cast<std::size_t>(c)].data() + staged_;
            if (source.empty()) {
                std::fill_n(to, n, 0.0f);
                continue;
            }
            // A mono side chain feeds both channels.
            const std::vector<float>& from = source[std::min<std::size_t>(
                static_cast<std::size_t>(side ? c - channels_ : c), source.size() - 1)];
            std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(at), n, to);
        }
        staged_ += n;
        at += n;
        if (staged_ == block_) runBlock(output);
    }
    fedFrames_ += frames;
}

void OfflineRenderer::finish(Planar& output) {
    output.assign(static_cast<std::size_t>(channels_), {});
    // Silence after the input until the latency's worth of output has come out.
    while (delivered_ < fedFrames_) {
        for (std::vector<float>& channel : stage_)
            std::fill(channel.begin() + static_cast<std::ptrdiff_t>(staged_), channel.end(), 0.0f);
        staged_ = block_;
        runBlock(output);
    }
    for (std::vector<float>& channel : output)
        channel.resize(channel.size() - (delivered_ - fedFrames_));
    delivered_ = fedFrames_;
}

void OfflineRenderer::runBlock(Planar& output) {
    const float* inputs[4] = {};
    float* outputs[2] = {};
    for (int c = 0; c < channels_ * 2; ++c)
        inputs[c] = stage_[static_cast<std::size_t>(c)].data();
    for (int c = 0; c < channels_; ++c)
        outputs[c] = blockOut_[static_cast<std::size_t>(c)].data();
    // The frame reads the side-chain arrays right after the main ones.
    processor_->process(inputs, channels_ * (sideChain_ ? 2 : 1), outputs, channels_,
                        static_cast<int32_t>(staged_), nullptr);
    const std::size_t skip = processed_ < latency_ ? std::min(latency_ - processed_, staged_) : 0;
    for (int c = 0; c < channels_; ++c) {
        const std::vector<float>& from = blockOut_[static_cast<std::size_t>(c)];
        output[static_cast<std::size_t>(c)].insert(
            output[static_cast<std::size_t>(c)].end(),
            from.begin() + static_cast<std::ptrdiff_t>(skip),
            from.begin() + static_cast<std::ptrdiff_t>(staged_));
    }
    processed_ += staged_;
    delivered_ += staged_ - skip;
    staged_ = 0;
    // Gain traces by windows of output time: the first window ends `latency` samples in.
    std::size_t ended = 0;
    while (processed_ >= nextTrace_) {
        ++ended;
        nextTrace_ += kTraceWindow;
    }
    trace(ended);
}

void OfflineRenderer::trace(std::size_t windowsEnded) {
    if (windowsEnded == 0) return;
    // Each meter holds its strongest value since it was last read; a block that spans several
    // windows gives each of them its value.
    for (int b = 0; b < TesselProcessor::kBandCount; ++b) {
        float strongest = 0.0f;
        if (bandInUse(b)) {
            // Both channels' meters: the stronger change is the one a listener hears.
            for (int c = 0; c < channels_; ++c) {
                LevelMeter& meter = processor_->tesselChannel(c).band(b).gainMeter();
                const float v = meter.level(2);
                meter.resetPeak();
                if (std::abs(v) > std::abs(strongest)) strongest = v;
            }
        }
        traces_[static_cast<std::size_t>(b)].insert(traces_[static_cast<std::size_t>(b)].end(),
                                                    windowsEnded, strongest);
    }
}

AudioData OfflineRenderer::render(const AudioData& in, const AudioData* sideChain, int blockSize) {
    begin(blockSize);
    AudioData out{in.sampleRateHz, {}};
    Planar chunk;
    push(in.channels, sideChain != nullptr ? sideChain->channels : Planar{}, in.frames(),
         out.channels);
    finish(chunk);
    for (std::size_t c = 0; c < out.channels.size(); ++c)
        out.channels[c].insert(out.channels[c].end(), chunk[c].begin(), chunk[c].end());
    return out;
}

}  // namespace tessel::cli
