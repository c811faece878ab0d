#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/FloatParameter.h"
#include "engine/MidiEventReceiver.h"
#include "engine/MidiMessage.h"
#include "engine/wave/Delay.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Input.h"
#include "params/GenericPluginBase.h"
#include "support/LockFreeIndexQueue.h"

namespace tessel {

/// The host-independent audio processor frame. A host adapter hands it one host block at a time;
/// it cuts the block into sub-blocks of at most the root environment's processing block size and
/// at MIDI message offsets, feeds the host arrays to each channel's inputs, runs the graph the
/// product built (through `render`), bypasses with a latency-compensated dry path and 50 ms
/// crossfades, tells the host when its output is silent, and applies parameter changes queued by
/// other threads at sub-block boundaries. Products derive from it, call `initialize` from their
/// constructor and then build their graph in `environment()`.
/// Threads: `process`, `reset`, `setBypass`, `setTransport` and sample-rate changes run on the
/// audio thread and never allocate in steady state; `setParameter` and `queueMidiMessage` may be
/// called from any thread.
/// Rebuilds: a product rebuilds parts of its graph inside `parameterChanged` and
/// `sampleRateChanged` on the audio thread. It allocates what a rebuild needs up front where it
/// can, so that most rebuilds only rewire; a rebuild that must allocate builds the new objects
/// before it lets go of the old ones, so that a throw leaves the old graph whole. Any exception
/// out of the hooks is caught at the frame's boundary: the change that failed is counted
/// (`failedParameterChanges`), the rest of the queue applies at the next block, and the host
/// keeps running. Nothing is thrown through `process`.
class GenericPluginProcessor : public GenericPluginBase {
public:
    class Channel;
    class BypassProcessor;
    class ProcessorAdapter;

    /// Feature flags given to the constructor.
    static constexpr uint32_t kFeatureSideChain = 1u << 3;   ///< accepts a side-chain input
    static constexpr uint32_t kFeatureEditorMidi = 1u << 6;  ///< copies MIDI for the editor
    /// Bits of the silence flags passed to and returned from `process`.
    static constexpr int32_t kInputSilent = 1;
    static constexpr int32_t kOutputSilent = 2;
    /// Bit of setParameter's flags: the change came from the host, do not report it back.
    static constexpr int32_t kFromHost = 1;

    static constexpr int32_t kLayoutCount = 16;
    static constexpr int32_t kMaximumChannels = 16;
    static constexpr int32_t kMaximumBlockSize = 256;
    static constexpr int32_t kMidiQueueEntries = 1024;
    static constexpr int32_t kEditorMidiQueueEntries = 32;
    static constexpr uint32_t kParameterQueueInitialNodes = 8192;
    static constexpr uint32_t kParameterQueueMaximumNodes = 65536;
    static constexpr int32_t kDisplayCounterLimit = 12288000;
    /// Capacity of the bypass's dry delay lines until the product declares its own maximum.
    static constexpr int32_t kDefaultMaximumLatency = 16384;
    static constexpr float kDefaultTempo = 120.0f;

    /// Channel count of layout `layout` (0..15); 0 for an unknown layout.
    static int32_t layoutChannelCount(int32_t layout) noexcept;
    /// The host's stem format code of a layout; 0 for an unknown layout.
    static uint32_t layoutStemFormat(int32_t layout) noexcept;
    /// Host channel that feeds internal channel `channel` of a layout. Every map is the identity
    /// for now: mono and stereo are identity by definition, and the surround layouts keep the
    /// host's order until a product needs them.
    static int32_t layoutHostChannel(int32_t layout, int32_t channel) noexcept;

    /// layout: index into the layout table (clamped to it); hasAudioInput false for a generator,
    /// whose dry path is silence. Call `initialize` from the product's constructor. [main thread]
    GenericPluginProcessor(int32_t layout, uint32_t featureFlags, bool hasAudioInput);
    virtual ~GenericPluginProcessor();
    GenericPluginProcessor(const GenericPluginProcessor&) = delete;
    GenericPluginProcessor& operator=(const GenericPluginProcessor&) = delete;

    /// One host block. Arrays beyond inputCount / outputCount are not touched; outputs above the
    /// layout's channel count are not written. silenceFlags (may be null) carries kInputSilent in
    /// and kOutputSilent out. [audio thread]
    virtual void process(const float* const* inputs, int32_t inputCount, float* const* outputs,
                         int32_t outputCount, int32_t frames, int32_t* silenceFlags) noexcept;
    /// Points each channel's inputs at the host arrays for the next `frames` samples. [audio
    /// thread]
    virtual void setInputs(const float* const* inputs, int32_t inputCount, int32_t frames) noexcept;
    /// Pulls every channel's output producer and stores its block in outputs[k]; channels beyond
    /// the channel array (or without an output producer) get the zero block. [audio thread]
    virtual void render(const float** outputs, int32_t count, int32_t frames) noexcept;

    /// Queues a parameter change for the audio thread; unless flags has kFromHost, tells the
    /// adapter so that the host learns of it. A change is dropped, and counted, when the queue's
    /// pool is at its maximum. [any thread, lock-free unless the pool must grow]
    virtual void setParameter(int32_t index, float value, int32_t flags);
    /// Applies every queued change in order: sets the processor's own parameter, tells its
    /// value listeners (the nodes wired to it) and calls `parameterChanged`. [audio thread]
    virtual void applyParameterChanges();
    /// Changes the queue could not take (pool at its maximum) since construction. [any thread]
    int64_t droppedParameterChanges() const noexcept {
        return droppedChanges_.load(std::memory_order_relaxed);
    }
    /// Changes whose application threw (a rebuild that could not allocate). [any thread]
    int64_t failedParameterChanges() const noexcept {
        return failedChanges_.load(std::memory_order_relaxed);
    }
    /// Reacts to one applied change; the base forwards it to every channel and handles the MIDI
    /// State and Bypass parameters. `appliedValue()` holds the new value. [audio thread]
    virtual void parameterChanged(int32_t index);

    /// Sets one bypass source: 0 = the host's master bypass, 1 = the bypass parameter. The
    /// effective bypass is either of them. [audio thread]
    void setBypass(bool on, int32_t source);
    /// Host transport: tempo in beats per minute (0 = 120), position in quarter notes. [audio
    /// thread]
    void setTransport(bool playing, float tempo, double positionQuarters);
    /// Resets the graph, finishes the bypass crossfade, clears the transport position and applies
    /// queued changes unless held. [audio thread]
    virtual void reset();
    /// Samples of output that may follow silent input, not counting the latency.
    virtual int32_t tailLength() const { return 8192; }
    /// Called after the root environment's sample rate changed (its nodes are already reset).
    virtual void sampleRateChanged() {}
    /// Called before each cycle that starts on the processing grid (every processing block size
    /// samples of the stream from its start), whatever the host's block lengths:
    /// work a product does between cycles belongs here, so that it happens at the same samples
    /// however the host cuts the stream. [audio thread]
    virtual void cycleBoundary() noexcept {}

    /// While held, queued parameter changes are not applied. [any thread, lock-free]
    void hold() noexcept { holdCount_.fetch_add(1, std::memory_order_acq_rel); }
    void release() noexcept { holdCount_.fetch_sub(1, std::memory_order_acq_rel); }
    bool isHeld() const noexcept { return holdCount_.load(std::memory_order_acquire) != 0; }

    /// Serialises the display sources (spectra, levels) for the editor and restarts the display
    /// counter. The base writes nothing yet: the stream's content arrives with the analyzer and
    /// the meters. [main thread]
    virtual void writeDisplayData(std::vector<uint8_t>& stream);

    /// Queues a MIDI message for the next host block; false when the queue is full.
    /// [any thread, lock-free]
    bool queueMidiMessage(const MidiMessage& message) noexcept { return midiQueue_.push(message); }
    /// Takes the oldest message copied for the editor (kFeatureEditorMidi only). [any thread]
    bool popEditorMidiMessage(MidiMessage& message) noexcept;

    void setAdapter(ProcessorAdapter* adapter) noexcept { adapter_ = adapter; }
    void setMidiEventReceiver(MidiEventReceiver* receiver) noexcept { midiReceiver_ = receiver; }
    /// Set by the MIDI receiver: the target its last message addressed (-1 = none). [audio thread]
    void setLastMidiTarget(int32_t target) noexcept { lastMidiTarget_ = target; }
    /// Set by the host adapter: the host instance has a side-chain input / it is connected.
    void setSideChainPresent(bool present) noexcept { sideChainPresent_ = present; }
    void setSideChainConnected(bool connected) noexcept { sideChainConnected_ = connected; }
    /// Parameter indices with a meaning for the frame; -1 = absent.
    void setMidiStateIndex(int32_t index) noexcept { midiStateIndex_ = index; }
    void setBypassIndex(int32_t index) noexcept { bypassIndex_ = index; }
    /// Latency in samples, set by the product whenever its graph's delay changes; the dry path
    /// follows at the next block. [any thread]
    void setLatency(int32_t samples) noexcept {
        latency_.store(samples > 0 ? samples : 0, std::memory_order_release);
    }
    /// The largest latency the product can report at the current rate: sizes the bypass's dry
    /// delay lines, so that later latency changes only move their read position. A latency
    /// above it delays the dry path by this maximum only. Allocates. [main thread, or the audio
    /// thread inside a rebuild]
    void setMaximumLatency(int32_t samples);

    int32_t latency() const noexcept { return latency_.load(std::memory_order_acquire); }
    int32_t layout() const noexcept { return layout_; }
    int32_t channelCount() const noexcept { return layoutChannelCount(layout_); }
    uint32_t featureFlags() const noexcept { return featureFlags_; }
    bool hasAudioInput() const noexcept { return hasAudioInput_; }
    /// True when the side chain is usable: accepted by the product and present in the host.
    bool sideChainPresent() const noexcept {
        return (featureFlags_ & kFeatureSideChain) != 0 && sideChainPresent_;
    }
    /// True when a connected side-chain input should carry the external signal.
    bool sideChainActive() const noexcept { return sideChainPresent() && sideChainConnected_; }
    int32_t midiStateIndex() const noexcept { return midiStateIndex_; }
    int32_t bypassIndex() const noexcept { return bypassIndex_; }
    float midiStateValue() const noexcept { return midiStateValue_; }
    int32_t lastMidiTarget() const noexcept { return lastMidiTarget_; }
    float tempo() const noexcept { return tempo_; }
    double transportPosition() const noexcept { return position_; }
    bool isPlaying() const noexcept { return playing_; }
    int32_t displaySampleCount() const noexcept {
        return displaySamples_.load(std::memory_order_relaxed);
    }
    wave::Environment* environment() const noexcept { return environment_.get(); }
    Channel* channel(int32_t index) const noexcept;
    BypassProcessor* bypassProcessor() const noexcept { return bypass_.get(); }
    /// Live processor instances in this process.
    static int32_t instanceCount();

protected:
    /// Builds the environment, the channels, the bypass processor and the MIDI queues, counts
    /// the instance and runs `firstInstanceInit` for the first one. Called once by the product's
    /// constructor before it builds its graph. [main thread]
    void initialize();
    /// Counts the instance out and runs `lastInstanceExit` for the last one. The product's
    /// destructor calls it so that its own `lastInstanceExit` runs; otherwise the base destructor
    /// does (and only the base's version runs). [main thread]
    void exitInstance();
    /// Class-wide set-up and tear-down (shared tables), under the process-wide lock.
    virtual void firstInstanceInit() {}
    virtual void lastInstanceExit() {}
    /// Creates channel `index` (called by `initialize`); products may return their own subclass.
    virtual std::unique_ptr<Channel> createChannel(int32_t index);
    /// Puts a channel built after `initialize` in place of channel `index` (a product whose
    /// channels need objects that exist only once the frame does). [main thread, before
    /// processing]
    void replaceChannel(int32_t index, std::unique_ptr<Channel> channel);
    /// Destroys the channels ahead of the frame, for a product whose channels hold nodes of
    /// environments it owns itself. [main thread, after processing]
    void destroyChannels() noexcept { channels_.clear(); }

    /// Sets the value of the processor's own parameter object (clamped by the parameter); an
    /// index outside the collection changes nothing. The product registers its own copy of every
    /// parameter with this processor, as their owner, before processing. [audio thread]
    virtual void setParameterValue(int32_t index, float value);
    /// Called from `setParameter` with the new value before it is queued, on the caller's
    /// thread: a product that reports latency recomputes it here at once, from its own atomic
    /// record of the inputs (never from the parameter copy the audio thread owns). [any thread]
    virtual void parameterWillChange(int32_t /*index*/, float /*value*/) {}
    /// The product's transport hooks. [audio thread]
    virtual void transportChanged(float /*tempo*/, double /*positionQuarters*/) {}
    virtual void transportStarted() {}
    /// Runs `parameterUpdateFinished` once the current parameter update ends (at once outside).
    void requestUpdateNotification();
    virtual void parameterUpdateFinished() {}

    /// The value of the change being applied; meaningful inside `parameterChanged`.
    float appliedValue() const noexcept { return appliedValue_; }

private:
    struct ParameterChange {
        int32_t index;
        float value;
    };

    void handleSampleRateChanged(void* sender);
    /// applyParameterChanges behind the exception boundary. [audio thread]
    void applyQueuedChanges() noexcept;
    void dispatchMidi(const MidiMessage& message) noexcept;
    void updateDisplayCounter(int32_t frames) noexcept;

    const int32_t layout_;
    const uint32_t featureFlags_;
    const bool hasAudioInput_;
    // Declared first so that it outlives every node below that lives in it.
    std::unique_ptr<wave::Environment> environment_;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::unique_ptr<BypassProcessor> bypass_;
    ProcessorAdapter* adapter_ = nullptr;
    MidiEventReceiver* midiReceiver_ = nullptr;

    LockFreeIndexQueue<ParameterChange> parameterQueue_;
    LockFreeIndexQueue<MidiMessage> midiQueue_;
    std::unique_ptr<LockFreeIndexQueue<MidiMessage>> editorMidiQueue_;
    std::atomic<int32_t> holdCount_{0};
    int32_t inUpdate_ = 0;
    bool updateNotificationPending_ = false;
    float appliedValue_ = 0.0f;

    std::atomic<int32_t> latency_{0};
    std::atomic<int64_t> droppedChanges_{0};
    std::atomic<int64_t> failedChanges_{0};
    std::atomic<int32_t> displaySamples_{0};
    int32_t midiStateIndex_ = -1;
    int32_t bypassIndex_ = -1;
    float midiStateValue_ = 0.0f;
    int32_t lastMidiTarget_ = -1;
    std::array<bool, 2> bypassSources_{};
    bool sideChainPresent_ = false;
    bool sideChainConnected_ = false;

    float tempo_ = kDefaultTempo;
    double position_ = 0.0;
    bool playing_ = false;
    bool transportChanged_ = false;
    int64_t samplesSinceTransport_ = 0;

    bool initialized_ = false;
};

/// The host's callbacks into its adapter, in slot order. Called on the audio thread
/// (`midiControllerOut`, `notifyModel`) or on the thread that set a parameter
/// (`parameterChangedByProcessor`); implementations hand the work over without blocking.
class GenericPluginProcessor::ProcessorAdapter {
public:
    virtual ~ProcessorAdapter() = default;
    /// A controller message the processor passes on to the plug-in model (MIDI learn).
    virtual void midiControllerOut(int32_t controller, int32_t value) = 0;
    /// End of a host block in which MIDI was dispatched, with the last MIDI target (-1 = none).
    virtual void notifyModel(int32_t value) = 0;
    /// The processor changed a parameter: report its current value to the host.
    virtual void parameterChangedByProcessor(int32_t index) = 0;
};

/// One channel of the layout: its main input, its side-chain inputs and the output producer the
/// product sets. The plain side-chain input always carries a signal (the external side chain when
/// present, else the channel's own input); the connected one carries the external side chain only
/// while it is present and connected, else silence. The channel owns its three inputs.
/// Audio thread only, apart from construction.
class GenericPluginProcessor::Channel {
public:
    /// An input whose block is the copied side-chain signal only while the side chain is
    /// accepted, present and connected; otherwise its output is the environment's zero block.
    class ConnectedSideChainInput : public wave::Input {
    public:
        ConnectedSideChainInput(wave::Environment* environment,
                                const GenericPluginProcessor* processor)
            : wave::Input(environment), processor_(processor) {}

        void process(wave::BasicBlock<float>* block, int32_t frames,
                     int32_t mode) noexcept override;

    private:
        const GenericPluginProcessor* processor_;
    };

    Channel(GenericPluginProcessor* processor, int32_t index);
    virtual ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    virtual void parameterChanged(int32_t /*index*/) {}
    virtual void update() {}

    /// Stores the host arrays feeding this channel for a block of `frames` samples.
    void setSources(const float* main, const float* sideChain, int32_t frames) noexcept;
    /// Points the inputs at samples [offset, offset + frames) of the stored arrays, so that
    /// every sub-block reads the right samples even when the graph was skipped before it.
    void seek(int32_t offset, int32_t frames) noexcept;

    int32_t index() const noexcept { return index_; }
    /// Position code of the channel in its layout (identity for every layout for now).
    int32_t positionCode() const noexcept { return index_; }
    GenericPluginProcessor* processor() const noexcept { return processor_; }
    wave::Input& input() noexcept { return input_; }
    wave::Input& sideChainInput() noexcept { return sideChainInput_; }
    ConnectedSideChainInput& connectedSideChainInput() noexcept { return connectedInput_; }
    const float* mainSource() const noexcept { return mainSource_; }
    wave::Producer* output() const noexcept { return output_; }
    void setOutput(wave::Producer* output) noexcept { output_ = output; }

private:
    GenericPluginProcessor* processor_;
    int32_t index_;
    wave::Input input_;
    wave::Input sideChainInput_;
    ConnectedSideChainInput connectedInput_;
    wave::Producer* output_ = nullptr;
    const float* mainSource_ = nullptr;
    const float* sideSource_ = nullptr;
    int32_t sourceFrames_ = 0;
};

/// Bypass with a latency-compensated dry path. The bypass mix (0 = processed, 1 = dry) ramps over
/// 50 ms; dry signals run through one delay line per channel equal to the latency, so engaging
/// and releasing bypass never shifts the audio in time. The lines are sized once for the
/// largest latency and always written, so a latency change only moves their read position and
/// the dry signal never drops out. Releasing bypass with latency L keeps the output dry for L
/// samples while the graph refills its delay lines, then crossfades. Fully bypassed sub-blocks
/// skip the graph. With silent input the graph runs on for the tail plus the latency and until
/// every node has settled, then output is passed through and reported silent.
/// Audio thread only; allocates only in `setCapacity`.
class GenericPluginProcessor::BypassProcessor {
public:
    static constexpr float kRampMs = 50.0f;

    explicit BypassProcessor(GenericPluginProcessor* processor);
    ~BypassProcessor();

    /// One sub-block of n samples at `offset` in the host arrays; flags as in `process`.
    void processBlock(float* const* outputs, int32_t count, int32_t offset, int32_t n,
                      int32_t& flags) noexcept;
    /// Moves towards the effective bypass state `on`. Releasing with a latency waits until the
    /// graph holds fresh audio again, then ramps. [audio thread]
    void engage(bool on, int32_t latency) noexcept;
    /// The next sub-block finishes the crossfade at once (skipping a pending release wait).
    void requestJump() noexcept { jumpRequested_ = true; }
    /// Ends a running crossfade at once (after a reset).
    void finishRamp() noexcept { mix_.finishRamp(); }
    /// Sizes the dry delay lines for latencies up to `maximumLatency` and clears them.
    void setCapacity(int32_t maximumLatency);

    bool state() const noexcept { return state_; }
    bool unbypassPending() const noexcept { return unbypassPending_; }
    int32_t unbypassCountdown() const noexcept { return countdown_; }
    int32_t tailCountdown() const noexcept { return tailCountdown_; }
    int32_t capacity() const noexcept { return capacity_; }
    FloatParameter& mix() noexcept { return mix_; }

private:
    /// Settles a requested jump or a pending release before the mix is read.
    void advanceRelease(int32_t n) noexcept;
    /// Feeds the host input of every channel into its dry delay line.
    void writeDryInputs(int32_t offset, int32_t n) noexcept;
    /// Runs the graph into wet_ (or passes silent input through once the tail is over).
    void renderWet(int32_t offset, int32_t n, int32_t latency, int32_t& flags) noexcept;
    /// Dry (delayed) input of a channel into out.
    void writeDry(float* out, int32_t channel, int32_t offset, int32_t n,
                  int32_t latency) const noexcept;
    /// Writes wet, dry or their crossfade into the host outputs.
    void mixOutputs(float* const* outputs, int32_t count, int32_t offset, int32_t n,
                    const float* mix, bool constantMix, int32_t latency,
                    int32_t& flags) const noexcept;

    GenericPluginProcessor* processor_;
    FloatParameter mix_;
    std::vector<std::unique_ptr<wave::Delay>> delays_;
    int32_t capacity_ = 0;
    std::array<const float*, kMaximumChannels> wet_{};
    bool state_ = false;
    bool unbypassPending_ = false;
    int32_t countdown_ = 0;
    bool jumpRequested_ = false;
    int32_t tailCountdown_ = -1;
};

}  // namespace tessel
