#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/LevelMeter.h"
#include "analysis/RealTimeAudioBuffer.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "dynamics/BandCompander.h"
#include "dynamics/LevelSource.h"
#include "dynamics/MidSideStereoLinker.h"
#include "dynamics/ShelfBand.h"
#include "dynamics/SideChainFilter.h"
#include "engine/GenericPluginProcessor.h"
#include "engine/MidSideConverter.h"
#include "engine/MidSideStereoProcessor.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/VolumeFilter.h"
#include "engine/tessel/TesselLatency.h"
#include "engine/tessel/TesselMultiBand.h"
#include "engine/wave/DelayFilter.h"
#include "engine/wave/SubEnvironment.h"
#include "params/TesselParameters.h"
#include "sr/ConverterStyle.h"
#include "sr/DecimatorFilter.h"
#include "sr/InterpolatorFilter.h"

namespace tessel {

/// The product's audio processor. Per channel: input gain, band splitting at the band-processing
/// rate (the host rate times the oversampling factor), per-band dynamics with side chain,
/// lookahead, level and pan, the band sum (or, in Dynamic Phase, a serial chain of shelving
/// stages over the whole signal), back to the host rate, output gain; meters and analyzer taps
/// along the way. It keeps its own copy of every parameter and follows it through the frame's
/// queue; it reports the latency of the three latency settings at once on the thread that sets
/// them. Mono, stereo and mono-to-stereo layouts, with or without the external side chain.
/// Threads as for the frame: construction and `writeDisplayData` on the main thread, everything
/// else on the audio thread; rebuilds (mode between Linear Phase and the others, oversampling,
/// sample rate) allocate inside parameter application, at a block boundary.
class TesselProcessor : public GenericPluginProcessor, public TesselParameters {
public:
    class TesselBand;
    class TesselChannel;

    static constexpr int32_t kBandCount = TesselMultiBand::kBandCount;
    /// Level sources per channel: output meter, gain change, then per band detection and gain.
    static constexpr int32_t kLevelSourcesPerChannel = 2 + 2 * kBandCount;
    /// Path router crossfade (mode changes, the solo switch of Dynamic Phase).
    static constexpr float kPathSwitchMs = 70.0f;
    /// Serial-chain routers: a muted band leaves the dynamic-phase chain over this time.
    static constexpr float kChainMuteSwitchMs = 200.0f;
    static constexpr float kAuditionChangeMs = 20.0f;
    /// The host's three meters, indices into `hostMeter`.
    enum HostMeter : int32_t { kGainChangeMeter = 0, kInputMeter = 1, kOutputMeter = 2 };

    /// layout: 0 mono, 1 stereo, 2 mono-to-stereo (see GenericPluginProcessor's table);
    /// sideChain: accept an external side-chain input.
    TesselProcessor(int32_t layout, bool sideChain);
    ~TesselProcessor() override;

    void parameterChanged(int32_t index) override;
    /// Applies the queued changes, then commits a layout change they made (or one still waiting
    /// for the last splitter crossfade to end). [audio thread]
    void applyParameterChanges() override;
    /// Commits a layout change that waited for a splitter crossfade, starts a path switch whose
    /// path is warm, and stops idle convolvers: on the cycle grid, so at the same samples
    /// whatever the host's block lengths.
    void cycleBoundary() noexcept override;
    void sampleRateChanged() override;
    int32_t tailLength() const override { return 8192; }
    void writeDisplayData(std::vector<uint8_t>& stream) override;

    /// The latency the current settings give at the current rate (what `latency` reports).
    TesselLatency latencyParts() const noexcept { return latencyInputs_.load().latency(); }
    ProcessingMode effectiveMode() const noexcept { return effectiveMode_; }
    bool anyBandSoloed() const noexcept { return anyBandSoloed_; }
    /// Band-processing factor: 1, 2 or 4.
    int32_t oversamplingFactor() const noexcept { return bandEnvironment_->factor(); }

    TesselChannel& tesselChannel(int32_t index) const noexcept;
    wave::SubEnvironment* bandEnvironment() const noexcept { return bandEnvironment_.get(); }
    TesselMultiBand::Style& style() noexcept { return *style_; }
    FloatingMultiBandModel& layoutModel() noexcept { return layoutModel_; }
    RealTimeAudioBuffer& analyzerFeed() noexcept { return *analyzerFeed_; }

    /// Level sources in registration order: per channel, `kLevelSourcesPerChannel` entries.
    int32_t levelSourceCount() const noexcept { return static_cast<int32_t>(levelSources_.size()); }
    LevelSource* levelSource(int32_t index) const noexcept {
        return levelSources_[static_cast<std::size_t>(index)];
    }
    /// The host's meters: gain change reported as 1 - 10^(dB/20) (the minimum over channels),
    /// input and output as 10^(dB/20) (the maximum). [any thread]
    float hostMeter(HostMeter meter) const noexcept;
    /// The same meters in dB: the gain change (negative when reducing), the input and output
    /// levels (-180 dB floor). [any thread]
    float hostMeterDb(HostMeter meter) const noexcept;

protected:
    std::unique_ptr<Channel> createChannel(int32_t index) override;
    void parameterWillChange(int32_t index, float value) override;

private:
    friend class TesselChannel;
    friend class TesselBand;

    /// Applies every parameter to the graph, with the layout's updates held so the layout runs
    /// once.
    void applyAll();
    void applyGlobal(int32_t index);
    void updateSoloAndMode();
    void updateMuting() noexcept;
    void updateLinks() noexcept;
    void updateAnalyzer() noexcept;
    void setOversampling();
    /// Channel delays and the latency for the current settings and rate.
    void updateDelays();
    void updateLatency() noexcept;
    /// Style and channels rebuilt for the effective mode and rates. Allocates.
    void rebuild();
    TesselLatencyInputs::Values currentLatencyInputs() const noexcept;

    CrossoverMultiBandModel crossoverModel_;
    FloatingMultiBandModel layoutModel_;
    std::unique_ptr<RealTimeAudioBuffer> analyzerFeed_;
    std::unique_ptr<wave::SubEnvironment> bandEnvironment_;
    std::unique_ptr<sr::ConverterStyle> converterStyle_;
    std::unique_ptr<TesselMultiBand::Style> style_;
    /// Stereo only: the dynamic-phase chain's conversion to mid/side and back.
    std::unique_ptr<MidSideConverter> chainToMidSide_;
    std::unique_ptr<MidSideConverter> chainToLeftRight_;
    ProcessingMode effectiveMode_ = ProcessingMode::kDynamicPhase;
    bool anyBandSoloed_ = false;
    bool built_ = false;
    bool changesApplied_ = false;  ///< a queued change was applied in this call
    TesselLatencyInputs latencyInputs_;
    std::vector<LevelSource*> levelSources_;
    std::vector<LevelMeter*> displayMeters_;
    std::vector<std::unique_ptr<LevelMeter>> inputMeters_;
};

/// Replaces every sample that is not a finite number by 0: the processor's entry for host
/// audio, so that a NaN or infinity in the input or side chain never reaches a filter's state
/// and the output recovers with the next finite sample. Finite blocks pass on without a copy.
class FiniteFilter : public wave::Filter {
public:
    explicit FiniteFilter(wave::Environment* environment) : wave::Filter(environment) {}
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
};

/// The gain stage of a stereo band in one pass: the band's two channels times their left/right
/// gains, then, in mid/side, times the mid and side gains, back in left/right. When the mid and
/// side gains are equal (fully linked: the usual case) the mid/side detour is the identity and
/// the stage multiplies each channel once. Audio thread only; never allocates.
class StereoGainStage : public wave::MultiProducer {
public:
    explicit StereoGainStage(wave::Environment* environment)
        : wave::MultiProducer(environment, 2) {}
    /// Channel c's audio and left/right gain (null gain reads as 1).
    void setChannel(int32_t c, wave::Producer* audio, wave::Producer* gain) noexcept {
        audio_[c & 1] = audio;
        gain_[c & 1] = gain;
    }
    void setMidSideGains(wave::Producer* mid, wave::Producer* side) noexcept {
        mid_ = mid;
        side_ = side;
    }
    void process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t mode) noexcept override;

private:
    wave::Producer* audio_[2] = {};
    wave::Producer* gain_[2] = {};
    wave::Producer* mid_ = nullptr;
    wave::Producer* side_ = nullptr;
};

/// Smooths a stereo band's gains where the band passes between left/right and mid/side
/// processing: there its left/right gains jump to 1 while its mid/side gains jump the other way.
/// Multiplied straight, a channel whose gain differed from the other's steps to the shared gain;
/// in the dynamic-phase chain two shelving filters whose gains jump in opposite directions ring.
/// From such a passage until the gain has caught up, the gain glides in the log domain (time
/// constant kTimeConstantMs); all four gains glide by the same filter, so where the channels
/// agreed their combined gain stays where it was at every sample. Everywhere else the gain passes
/// through untouched, at no cost. Audio thread only; never allocates.
class GainGlide : public wave::Filter {
public:
    static constexpr float kTimeConstantMs = 2.0f;
    explicit GainGlide(wave::Environment* environment) : wave::Filter(environment) {
        environment->addResettable(this);
    }
    /// The link amount whose passages through the mid/side threshold start a glide.
    void setLinkAmount(wave::Producer* amount) noexcept { amount_ = amount; }
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void reset() override {
        gliding_ = false;
        fresh_ = true;
    }
    bool gliding() const noexcept { return gliding_; }

private:
    wave::Producer* amount_ = nullptr;
    float lastGain_ = 1.0f;  // the last input sample, where a glide starts from
    float logGain_ = 0.0f;   // while gliding: natural log of the gain handed out last
    bool midSide_ = false;   // the regime at the end of the last block
    bool gliding_ = false;
    bool fresh_ = true;
    float rateHz_ = 0.0f;
    float coefficient_ = 1.0f;
};

/// One band slot of one channel: its side chain and detection, compander, gain stage, band
/// level with solo and mute, audition gain, band meters and the two shelving stages of the
/// dynamic-phase chain. The stereo objects that join both channels of a band (linkers, mid/side
/// gain stage, conversions) belong to the first channel's band and are read by the second.
class TesselProcessor::TesselBand {
public:
    TesselBand(TesselProcessor* processor, TesselChannel* channel, int32_t band);
    ~TesselBand();

    /// Wires what involves the other channel's band (stereo) once both exist.
    void connect();
    /// Reads every band parameter of this slot into the graph.
    void apply();
    /// Band gain and mute for the current parameters and solo state.
    void applyGain();
    /// Delay amounts for lookahead and Linear Phase.
    void applyDelays(int32_t lookaheadBandSamples, int32_t linearPhaseSamples) noexcept;
    /// Re-sizes the band-rate delays. Allocates.
    void rebuild();

    bool muted() const noexcept { return muted_; }
    bool enabled() const noexcept { return enabled_; }
    wave::Producer* output() noexcept { return &level_; }
    wave::Producer* auditionSignal() noexcept { return &auditionGain_; }
    ShelfBand& shelf(int32_t stage) noexcept {
        return stage == 0 ? shelfLeftRight_ : shelfMidSide_;
    }
    Router& chainRouter(int32_t stage) noexcept {
        return stage == 0 ? chainRouter0_ : chainRouter1_;
    }
    BandCompander& compander() noexcept { return compander_; }
    SideChainFilter& sideChainFilter() noexcept { return sideChainFilter_; }
    LevelMeter& detectionMeter() noexcept { return detectionMeter_; }
    LevelMeter& gainMeter() noexcept { return gainMeter_; }
    Router& detectionRouter() noexcept { return detectionRouter_; }
    Router& stateRouter() noexcept { return stateRouter_; }

private:
    friend class TesselProcessor;
    friend class TesselChannel;

    /// Stereo objects of the band (first channel only).
    struct Stereo {
        explicit Stereo(wave::Environment* bands);
        MidSideStereoLinker detectionLinker;
        MidSideStereoLinker auditionLinker;
        MidSideStereoProcessor gains;
        StereoGainStage gainStage;
    };

    const BandParameterSet& parameters() const noexcept;
    TesselBand* partner() const noexcept;

    TesselProcessor* processor_;
    TesselChannel* channel_;
    int32_t band_;
    Router sideChainSource_;  // root: own input or the external side chain
    SideChainFilter sideChainFilter_;
    wave::DelayFilter sideChainDelay_;  // root: Linear Phase alignment
    sr::InterpolatorFilter sideChainUpsampler_;
    Router detectionRouter_;  // band signal or side-chain path
    wave::DelayFilter lookahead_;
    BandCompander compander_;
    VolumeFilter gain_;          // mono: lookahead-delayed band audio times the compander's gain
    Router stateRouter_;         // processed, or the delayed band audio when disabled
    VolumeFilter level_;         // band level, pan and solo/mute
    VolumeFilter auditionGain_;  // the detection signal as heard when auditioned
    VolumeFilter chainGain_;     // dynamic phase: the left/right gain times level and pan
    GainGlide leftRightGlide_;   // stereo: this channel's left/right gain, glided
    GainGlide midSideGlide_;     // stereo: the mid (first channel) or side (second) gain, glided
    LevelMeter detectionMeter_;
    LevelMeter gainMeter_;
    ShelfBand shelfLeftRight_;
    ShelfBand shelfMidSide_;
    Router chainRouter0_;  // serial chain, left/right stage: the stage or around it when muted
    Router chainRouter1_;  // mid/side stage
    std::unique_ptr<Stereo> stereo_;
    bool muted_ = false;
    bool enabled_ = false;
    bool used_ = false;
};

/// One channel of the layout: input and output gains, the splitter, the six bands, band sum,
/// path, audition and output routers, the conversions in and out of the band-processing rate,
/// the delays that keep every path aligned, the output meter and the gain-change source.
class TesselProcessor::TesselChannel : public GenericPluginProcessor::Channel {
public:
    /// The channel's gain change: the deepest gain-change meter reading over the bands that
    /// compress, less their positive Range; 0 dB with none.
    class GainChangeLevelSource : public LevelSource {
    public:
        explicit GainChangeLevelSource(TesselChannel* channel) : channel_(channel) {}
        Detection detection() const override { return Detection::kGainReduction; }
        float level(int32_t reading) const override;
        void resetPeak() override {}
        void resetHold() override {}

    private:
        TesselChannel* channel_;
    };

    TesselChannel(TesselProcessor* processor, int32_t index);
    ~TesselChannel() override;

    void parameterChanged(int32_t index) override;
    /// Wires the graph (after every channel exists).
    void build();
    /// Follows the splitting style; re-wires the structure-dependent paths.
    void follow() noexcept;
    void applyGains();
    void applyAudition();
    void applyPath() noexcept;
    /// Once per host block: starts a pending path switch when the path it goes to is warm.
    void advancePathSwitch() noexcept;
    void applyDelays(const TesselLatency& latency);
    void rebuild();

    TesselBand& band(int32_t b) noexcept { return *bands_[static_cast<std::size_t>(b)]; }
    TesselMultiBand& multiBand() noexcept { return multiBand_; }
    LevelMeter& outputMeter() noexcept { return outputMeter_; }
    GainChangeLevelSource& gainChangeSource() noexcept { return gainChange_; }
    VolumeFilter& inputGain() noexcept { return inputGain_; }
    VolumeFilter& outputGain() noexcept { return outputGain_; }
    Router& pathRouter() noexcept { return pathRouter_; }
    Router& outputRouter() noexcept { return outputRouter_; }
    wave::DelayFilter& dryDelay() noexcept { return dryDelay_; }
    wave::DelayFilter& sideChainDelay() noexcept { return sideChainDelay_; }
    /// End of the dynamic-phase chain for this channel (band rate).
    wave::Producer* chainEnd() noexcept;
    ProcessingMode builtMode() const noexcept { return builtMode_; }

private:
    friend class TesselProcessor;
    friend class TesselBand;

    TesselProcessor* processor_;
    FiniteFilter input_;
    FiniteFilter sideChain_;
    VolumeFilter inputGain_;
    VolumeFilter outputGain_;
    TesselMultiBand multiBand_;
    std::array<std::unique_ptr<TesselBand>, kBandCount> bands_;
    Mixer bandSum_;
    Router pathRouter_;
    Router auditionRouter_;
    Router outputRouter_;
    sr::InterpolatorFilter chainUpsampler_;
    sr::DecimatorFilter downsampler_;
    wave::DelayFilter dryDelay_;        // root: analyzer pre tap
    wave::DelayFilter sideChainDelay_;  // root: analyzer side-chain tap
    wave::DelayFilter chainDelay_;      // root: input of the dynamic-phase chain
    wave::DelayFilter remainderDelay_;  // band rate
    wave::DelayFilter auditionDelay_;   // band rate
    LevelMeter outputMeter_;
    GainChangeLevelSource gainChange_;
    /// Pulls a path that is not heard yet, so that its delays and filters hold the signal when
    /// the path router crossfades to it (a path that was not pulled restarts from silence).
    class Warmer : public wave::Source {
    public:
        explicit Warmer(wave::Environment* environment) : wave::Source(environment, false) {
            environment->addRoot(this, 2);
        }
        void process(wave::BasicBlock<float>*, int32_t frames, int32_t) noexcept override {
            if (target_ != nullptr) target_->pull(frames);
            setOutputBlock(environment()->zeroBlock());
        }
        wave::Producer* target_ = nullptr;
    };

    ProcessingMode builtMode_ = ProcessingMode::kDynamicPhase;
    int32_t auditionedBand_ = -1;
    Warmer warmer_;
    int32_t pendingPath_ = -1;  // path router input waiting to be selected
    int64_t pathSwitchAt_ = 0;  // root position from which it may be
};

}  // namespace tessel
