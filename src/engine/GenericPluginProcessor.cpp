#include "engine/GenericPluginProcessor.h"

#include <pmmintrin.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/CriticalSection.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

struct LayoutEntry {
    int32_t channels;
    uint32_t stemFormat;
};

constexpr std::array<LayoutEntry, GenericPluginProcessor::kLayoutCount> kLayouts = {{
    {1, 0x1},
    {2, 0x10002},
    {3, 0x20003},
    {4, 0x40004},
    {4, 0x30004},
    {5, 0x50005},
    {6, 0x60006},
    {6, 0x70006},
    {7, 0x80007},
    {7, 0x90007},
    {7, 0xB0007},
    {8, 0xA0008},
    {8, 0xC0008},
    {8, 0x160008},
    {10, 0x18000A},
    {9, 0x140009},
}};

// MXCSR: all exceptions masked, round to nearest, flush-to-zero.
constexpr unsigned int kMxcsrFlushToZero = 0x9F80;
constexpr unsigned int kMxcsrDenormalsAreZero = 0x40;

// The MXCSR mask of the saved floating-point state tells whether the processor implements the
// denormals-are-zero bit; setting an unsupported bit would fault. A mask of 0 means the
// processor predates the field and has the default mask 0xFFBF (no DAZ).
bool denormalsAreZeroSupported() noexcept {
    static const bool supported = [] {
        struct alignas(16) SaveArea {
            unsigned char bytes[512];
        } area{};
        asm volatile("fxsave %0" : "=m"(area));
        uint32_t mask = 0;
        std::memcpy(&mask, area.bytes + 28, sizeof(mask));
        if (mask == 0) mask = 0xFFBF;
        return (mask & kMxcsrDenormalsAreZero) != 0;
    }();
    return supported;
}

// Runs one host block with denormals flushed; the host's own mode is restored on return so
// that code outside the processor keeps the rounding and exception state it chose.
class FlushDenormalsScope {
public:
    FlushDenormalsScope() noexcept : saved_(_mm_getcsr()) {
        _mm_setcsr(kMxcsrFlushToZero | (denormalsAreZeroSupported() ? kMxcsrDenormalsAreZero : 0u));
    }
    ~FlushDenormalsScope() { _mm_setcsr(saved_); }
    FlushDenormalsScope(const FlushDenormalsScope&) = delete;
    FlushDenormalsScope& operator=(const FlushDenormalsScope&) = delete;

private:
    unsigned int saved_;
};

// The process-wide instance lock and count. Function-local statics: built on first use, safely
// even when two instances are created at once on different threads.
CriticalSection& instanceLock() {
    static const std::unique_ptr<CriticalSection> lock = CriticalSection::create();
    return *lock;
}

int32_t& instanceCounter() {
    static int32_t count = 0;
    return count;
}

}  // namespace

// ---- layout table ----

int32_t GenericPluginProcessor::layoutChannelCount(int32_t layout) noexcept {
    return layout >= 0 && layout < kLayoutCount ? kLayouts[layout].channels : 0;
}

uint32_t GenericPluginProcessor::layoutStemFormat(int32_t layout) noexcept {
    return layout >= 0 && layout < kLayoutCount ? kLayouts[layout].stemFormat : 0u;
}

int32_t GenericPluginProcessor::layoutHostChannel(int32_t /*layout*/, int32_t channel) noexcept {
    return channel;
}

// ---- life cycle ----

GenericPluginProcessor::GenericPluginProcessor(int32_t layout, uint32_t featureFlags,
                                               bool hasAudioInput)
    : layout_(std::clamp(layout, 0, kLayoutCount - 1)),
      featureFlags_(featureFlags),
      hasAudioInput_(hasAudioInput),
      parameterQueue_(kParameterQueueInitialNodes, kParameterQueueMaximumNodes),
      midiQueue_(kMidiQueueEntries + 2, kMidiQueueEntries + 2) {}

GenericPluginProcessor::~GenericPluginProcessor() {
    exitInstance();
}

void GenericPluginProcessor::initialize() {
    if (initialized_) return;
    {
        ScopedLock lock(instanceLock());
        if (instanceCounter()++ == 0) firstInstanceInit();
    }
    initialized_ = true;
    (void)denormalsAreZeroSupported();  // detect once here, never on the audio thread

    environment_ = std::make_unique<wave::Environment>(kMaximumBlockSize, true);
    environment_->sampleRateChangedEvent().addHandler(
        this, &GenericPluginProcessor::handleSampleRateChanged);
    const int32_t channels = channelCount();
    channels_.reserve(static_cast<std::size_t>(channels));
    for (int32_t k = 0; k < channels; ++k)
        channels_.push_back(createChannel(k));
    bypass_ = std::make_unique<BypassProcessor>(this);
    bypass_->setCapacity(kDefaultMaximumLatency);
    if ((featureFlags_ & kFeatureEditorMidi) != 0) {
        editorMidiQueue_ = std::make_unique<LockFreeIndexQueue<MidiMessage>>(
            kEditorMidiQueueEntries + 2, kEditorMidiQueueEntries + 2);
    }
}

void GenericPluginProcessor::exitInstance() {
    if (!initialized_) return;
    initialized_ = false;
    ScopedLock lock(instanceLock());
    if (--instanceCounter() == 0) lastInstanceExit();
}

int32_t GenericPluginProcessor::instanceCount() {
    ScopedLock lock(instanceLock());
    return instanceCounter();
}

void GenericPluginProcessor::replaceChannel(int32_t index, std::unique_ptr<Channel> channel) {
    if (index < 0 || index >= static_cast<int32_t>(channels_.size()) || channel == nullptr) return;
    channels_[static_cast<std::size_t>(index)] = std::move(channel);
}

std::unique_ptr<GenericPluginProcessor::Channel> GenericPluginProcessor::createChannel(
    int32_t index) {
    return std::make_unique<Channel>(this, index);
}

GenericPluginProcessor::Channel* GenericPluginProcessor::channel(int32_t index) const noexcept {
    return index >= 0 && index < static_cast<int32_t>(channels_.size())
               ? channels_[static_cast<std::size_t>(index)].get()
               : nullptr;
}

void GenericPluginProcessor::handleSampleRateChanged(void*) {
    sampleRateChanged();
}

// ---- the host block ----

void GenericPluginProcessor::updateDisplayCounter(int32_t frames) noexcept {
    int32_t current = displaySamples_.load(std::memory_order_relaxed);
    int32_t next = 0;
    do {
        next = static_cast<int32_t>(std::min<int64_t>(
            static_cast<int64_t>(current) + std::max(frames, 0), kDisplayCounterLimit));
    } while (!displaySamples_.compare_exchange_weak(current, next, std::memory_order_relaxed));
    environment_->setDisplayActive(static_cast<float>(next) < environment_->sampleRate());
}

void GenericPluginProcessor::process(const float* const* inputs, int32_t inputCount,
                                     float* const* outputs, int32_t outputCount, int32_t frames,
                                     int32_t* silenceFlags) noexcept {
    FlushDenormalsScope denormals;
    frames = std::max(frames, 0);
    updateDisplayCounter(frames);
    samplesSinceTransport_ += frames;
    lastMidiTarget_ = -1;
    if (!isHeld()) applyQueuedChanges();
    if (transportChanged_) {
        transportChanged(tempo_, position_);
        transportChanged_ = false;
    }
    outputCount = outputs != nullptr ? std::clamp(outputCount, 0, channelCount()) : 0;
    setInputs(inputs, inputCount, frames);
    int32_t flags = silenceFlags != nullptr && (*silenceFlags & kInputSilent) != 0
                        ? kInputSilent | kOutputSilent
                        : 0;

    const int32_t blockSize = environment_->processingBlockSize();
    bool midiDispatched = false;
    bool pending = false;
    MidiMessage message{};
    int32_t p = 0;
    while (p < frames) {
        if (!pending) pending = midiQueue_.pop(message);
        const bool inBlock = pending && message.sampleOffset < frames;
        const int32_t end = inBlock ? std::max(message.sampleOffset, p) : frames;
        while (p < end) {
            // Cycles are cut on a grid of the stream's samples, not of the host's block, and the
            // product's between-cycle work runs on that grid: the output is the same whatever
            // block lengths the host uses.
            const auto phase = static_cast<int32_t>(environment_->samplePosition() % blockSize);
            if (phase == 0) cycleBoundary();
            const int32_t n = std::min(end - p, blockSize - phase);
            bypass_->processBlock(outputs, outputCount, p, n, flags);
            p += n;
        }
        if (!inBlock) break;
        dispatchMidi(message);
        pending = false;
        midiDispatched = true;
        // A controller may have changed parameters: they apply before the next sample.
        if (!isHeld()) applyQueuedChanges();
    }

    if (silenceFlags != nullptr) *silenceFlags = flags;

    if (pending) {
        dispatchMidi(message);
        midiDispatched = true;
    }
    while (midiQueue_.pop(message)) {
        dispatchMidi(message);
        midiDispatched = true;
    }
    if (midiDispatched && adapter_ != nullptr) adapter_->notifyModel(lastMidiTarget_);
}

void GenericPluginProcessor::dispatchMidi(const MidiMessage& message) noexcept {
    if (midiReceiver_ != nullptr) midiReceiver_->receiveMidiMessage(message);
    if (editorMidiQueue_) editorMidiQueue_->push(message);  // a full editor queue drops it
}

bool GenericPluginProcessor::popEditorMidiMessage(MidiMessage& message) noexcept {
    return editorMidiQueue_ && editorMidiQueue_->pop(message);
}

void GenericPluginProcessor::setInputs(const float* const* inputs, int32_t inputCount,
                                       int32_t frames) noexcept {
    const int32_t channels = channelCount();
    const auto source = [&](int32_t index) -> const float* {
        return hasAudioInput_ && inputs != nullptr && index >= 0 && index < inputCount
                   ? inputs[index]
                   : nullptr;
    };
    for (int32_t k = 0; k < channels; ++k) {
        const float* main = source(layoutHostChannel(layout_, k));
        const float* side = sideChainPresent() ? source(channels + k) : main;
        channels_[static_cast<std::size_t>(k)]->setSources(main, side, frames);
    }
}

void GenericPluginProcessor::render(const float** outputs, int32_t count, int32_t frames) noexcept {
    const int32_t channels = static_cast<int32_t>(channels_.size());
    for (int32_t k = 0; k < count; ++k) {
        wave::Producer* out =
            k < channels ? channels_[static_cast<std::size_t>(k)]->output() : nullptr;
        outputs[k] = wave::Producer::pullOrZero(out, environment_.get(), frames)->data();
    }
}

// ---- parameters ----

void GenericPluginProcessor::setParameter(int32_t index, float value, int32_t flags) {
    parameterWillChange(index, value);
    if (!parameterQueue_.push(ParameterChange{index, value}))
        droppedChanges_.fetch_add(1, std::memory_order_relaxed);
    if ((flags & kFromHost) == 0 && index >= 0 && adapter_ != nullptr) {
        adapter_->parameterChangedByProcessor(index);
    }
}

void GenericPluginProcessor::applyQueuedChanges() noexcept {
    try {
        applyParameterChanges();
    } catch (...) {
        // The change that threw is lost; the graph is whole (see the class comment) and the
        // queue's remaining changes apply at the next block.
        failedChanges_.fetch_add(1, std::memory_order_relaxed);
    }
}

void GenericPluginProcessor::applyParameterChanges() {
    // Leaves the update even when a hook throws, so that the finished-notification still runs.
    struct UpdateScope {
        GenericPluginProcessor& p;
        explicit UpdateScope(GenericPluginProcessor& processor) : p(processor) { ++p.inUpdate_; }
        ~UpdateScope() {
            if (--p.inUpdate_ == 0 && p.updateNotificationPending_) {
                p.updateNotificationPending_ = false;
                p.parameterUpdateFinished();
            }
        }
    } scope(*this);
    ParameterChange change{};
    while (parameterQueue_.pop(change)) {
        if (change.index == -1) {
            environment_->reset(wave::Environment::kResetPositionOnly);
        } else if (change.index < 0) {
            environment_->reset(wave::Environment::kResetAttached);
        } else {
            appliedValue_ = change.value;
            setParameterValue(change.index, change.value);
            parameterChanged(change.index);
        }
    }
}

void GenericPluginProcessor::setParameterValue(int32_t index, float value) {
    AbstractPluginParameter* p = parameterByIdentifier(index);
    if (p == nullptr) return;
    p->setValue(value, 0);
    p->notifyValueListeners(p->currentValue());
}

void GenericPluginProcessor::setMaximumLatency(int32_t samples) {
    bypass_->setCapacity(samples);
}

void GenericPluginProcessor::parameterChanged(int32_t index) {
    for (auto& channel : channels_)
        channel->parameterChanged(index);
    if (index == midiStateIndex_) midiStateValue_ = appliedValue_;
    if (index == bypassIndex_) setBypass(appliedValue_ != 0.0f, 1);
}

void GenericPluginProcessor::requestUpdateNotification() {
    if (inUpdate_ > 0) {
        updateNotificationPending_ = true;
    } else {
        parameterUpdateFinished();
    }
}

// ---- bypass, transport, reset ----

void GenericPluginProcessor::setBypass(bool on, int32_t source) {
    if (source < 0 || source > 1) return;
    bypassSources_[static_cast<std::size_t>(source)] = on;
    const bool effective = bypassSources_[0] || bypassSources_[1];
    if (effective == bypass_->state()) return;
    const bool wasOn = bypass_->state();
    bypass_->engage(effective, latency());
    // The ramp is set before the reset, so it starts from the mix's current value.
    if (wasOn) environment_->reset(wave::Environment::kResetAttached);
}

void GenericPluginProcessor::setTransport(bool playing, float tempo, double positionQuarters) {
    if (!(tempo > 0.0f) || !std::isfinite(tempo)) tempo = kDefaultTempo;
    if (std::fabs(positionQuarters - position_) > kFloatTolerance || playing) {
        if (playing && !playing_) transportStarted();
        position_ = positionQuarters;
    } else {
        // A stopped host that repeats its position: keep our own clock running.
        const double quarters = static_cast<double>(samplesSinceTransport_) * tempo /
                                (60.0 * static_cast<double>(environment_->sampleRate()));
        position_ = std::fmod(position_ + quarters, 256.0);
        if (position_ < 0.0) position_ += 256.0;
    }
    tempo_ = tempo;
    playing_ = playing;
    transportChanged_ = true;
    samplesSinceTransport_ = 0;
}

void GenericPluginProcessor::reset() {
    environment_->reset(wave::Environment::kResetAttached);
    bypass_->finishRamp();
    position_ = 0.0;
    samplesSinceTransport_ = 0;
    if (!isHeld()) applyQueuedChanges();
}

void GenericPluginProcessor::writeDisplayData(std::vector<uint8_t>&) {
    displaySamples_.store(0, std::memory_order_relaxed);
}

// ---- Channel ----

void GenericPluginProcessor::Channel::ConnectedSideChainInput::process(
    wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept {
    wave::Input::process(block, frames, mode);  // always consume, so the read position advances
    if (!processor_->sideChainActive()) setOutputBlock(environment()->zeroBlock());
}

GenericPluginProcessor::Channel::Channel(GenericPluginProcessor* processor, int32_t index)
    : processor_(processor),
      index_(index),
      input_(processor->environment()),
      sideChainInput_(processor->environment()),
      connectedInput_(processor->environment(), processor) {}

GenericPluginProcessor::Channel::~Channel() = default;

void GenericPluginProcessor::Channel::setSources(const float* main, const float* sideChain,
                                                 int32_t frames) noexcept {
    mainSource_ = main;
    sideSource_ = sideChain;
    sourceFrames_ = frames;
    seek(0, frames);
}

void GenericPluginProcessor::Channel::seek(int32_t offset, int32_t frames) noexcept {
    const int32_t n = std::clamp(std::min(frames, sourceFrames_ - offset), 0, frames);
    input_.setSource(mainSource_ != nullptr ? mainSource_ + offset : nullptr, n);
    const float* side = sideSource_ != nullptr ? sideSource_ + offset : nullptr;
    sideChainInput_.setSource(side, n);
    connectedInput_.setSource(side, n);
}

// ---- BypassProcessor ----

GenericPluginProcessor::BypassProcessor::BypassProcessor(GenericPluginProcessor* processor)
    : processor_(processor), mix_(processor->environment(), 0.0f) {}

GenericPluginProcessor::BypassProcessor::~BypassProcessor() = default;

void GenericPluginProcessor::BypassProcessor::engage(bool on, int32_t latency) noexcept {
    countdown_ = latency;
    if (!on && latency > 0) {
        // Stay dry until the graph's delay lines hold fresh audio again.
        unbypassPending_ = true;
        state_ = false;
        return;
    }
    state_ = on;
    if (on) unbypassPending_ = false;  // a release still waiting is cancelled
    mix_.setValue(on ? 1.0f : 0.0f, kRampMs);
}

void GenericPluginProcessor::BypassProcessor::setCapacity(int32_t maximumLatency) {
    maximumLatency = std::max(maximumLatency, 0);
    delays_.clear();
    capacity_ = maximumLatency;
    if (!processor_->hasAudioInput() || maximumLatency == 0) return;
    const int32_t channels = processor_->channelCount();
    delays_.reserve(static_cast<std::size_t>(channels));
    for (int32_t k = 0; k < channels; ++k)
        delays_.push_back(std::make_unique<wave::Delay>(processor_->environment(), maximumLatency));
}

void GenericPluginProcessor::BypassProcessor::advanceRelease(int32_t n) noexcept {
    if (jumpRequested_) {
        jumpRequested_ = false;
        if (unbypassPending_) {
            mix_.setValue(0.0f, -1.0f);
            unbypassPending_ = false;
        }
        mix_.finishRamp();
    }
    if (!unbypassPending_) return;
    if (countdown_ <= 0) {
        mix_.setValue(0.0f, kRampMs);
        unbypassPending_ = false;
    } else {
        countdown_ -= n;
    }
}

void GenericPluginProcessor::BypassProcessor::writeDryInputs(int32_t offset, int32_t n) noexcept {
    const float* zeros = processor_->environment()->zeroBlock()->data();
    for (std::size_t k = 0; k < delays_.size(); ++k) {
        const float* in = processor_->channel(static_cast<int32_t>(k))->mainSource();
        delays_[k]->write(in != nullptr ? in + offset : zeros, n);
    }
}

void GenericPluginProcessor::BypassProcessor::renderWet(int32_t offset, int32_t n, int32_t latency,
                                                        int32_t& flags) noexcept {
    GenericPluginProcessor& p = *processor_;
    wave::Environment& env = *p.environment();
    const int32_t channels = p.channelCount();
    if ((flags & kInputSilent) == 0) {
        tailCountdown_ = -1;
    } else {
        if (tailCountdown_ == -1) tailCountdown_ = p.tailLength() + latency;
        if (tailCountdown_ == 0) {
            // Tail over and every node settled: pass the (silent) input through.
            const float* zeros = env.zeroBlock()->data();
            for (int32_t k = 0; k < channels; ++k) {
                const float* in = p.channel(k)->mainSource();
                wet_[static_cast<std::size_t>(k)] =
                    in != nullptr && p.hasAudioInput() ? in + offset : zeros;
            }
            env.advance(n, wave::Environment::kSkipRootList);
            return;
        }
    }
    p.render(wet_.data(), channels, n);
    if (tailCountdown_ > 0) {
        tailCountdown_ = std::max(tailCountdown_ - n, 0);
        if (tailCountdown_ == 0 && !env.allSettled()) tailCountdown_ = 1;
    }
    flags &= ~kOutputSilent;
    env.advance(n, 0);
}

void GenericPluginProcessor::BypassProcessor::writeDry(float* out, int32_t channel, int32_t offset,
                                                       int32_t n, int32_t latency) const noexcept {
    if (latency > 0 && !delays_.empty()) {
        delays_[static_cast<std::size_t>(channel)]->read(latency, out, n);
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(float);
    const Channel* ch = processor_->channel(channel);
    const float* in = processor_->hasAudioInput() && ch != nullptr ? ch->mainSource() : nullptr;
    if (in != nullptr) {
        std::memmove(out, in + offset, bytes);  // the host may process in place
    } else {
        std::memset(out, 0, bytes);
    }
}

void GenericPluginProcessor::BypassProcessor::mixOutputs(float* const* outputs, int32_t count,
                                                         int32_t offset, int32_t n,
                                                         const float* mix, bool constantMix,
                                                         int32_t latency,
                                                         int32_t& flags) const noexcept {
    const bool allDry = constantMix && mix[0] == 1.0f;
    const bool allWet = constantMix && mix[0] == 0.0f;
    const int32_t layout = processor_->layout();
    for (int32_t k = 0; k < processor_->channelCount(); ++k) {
        const int32_t host = layoutHostChannel(layout, k);
        if (host >= count || outputs[host] == nullptr) continue;
        float* out = outputs[host] + offset;
        const float* wet = wet_[static_cast<std::size_t>(k)];
        if (allWet) {
            std::memmove(out, wet, static_cast<std::size_t>(n) * sizeof(float));
            continue;
        }
        writeDry(out, k, offset, n, latency);
        if (!allDry) {
            for (int32_t i = 0; i < n; ++i)
                out[i] = wet[i] + mix[i] * (out[i] - wet[i]);
        } else if (latency > 0 && (flags & kOutputSilent) != 0) {
            // Bypassed and the input is silent: the output is silent once the delayed input is.
            for (int32_t i = 0; i < n; ++i) {
                if (std::fabs(out[i]) > kFloatTolerance) {
                    flags &= ~kOutputSilent;
                    break;
                }
            }
        }
    }
}

void GenericPluginProcessor::BypassProcessor::processBlock(float* const* outputs, int32_t count,
                                                           int32_t offset, int32_t n,
                                                           int32_t& flags) noexcept {
    GenericPluginProcessor& p = *processor_;
    wave::Environment& env = *p.environment();
    const int32_t latency = std::min(p.latency(), capacity_);

    env.beginCycle();
    advanceRelease(n);
    const wave::BasicBlock<float>* mixBlock = mix_.valueBlock(n);
    // The mix is consumed every cycle, so a change made before the next cycle ramps from the
    // current value. Deliberately not catchUp: an environment reset must not cut the ramp short.
    mix_.setLastPosition(env.samplePosition() + n);
    const bool allDry = mixBlock->isConstant() && mixBlock->data()[0] == 1.0f;

    for (int32_t k = 0; k < p.channelCount(); ++k)
        p.channel(k)->seek(offset, n);
    writeDryInputs(offset, n);
    if (allDry && !unbypassPending_) {
        env.advance(n, wave::Environment::kSkipRootList);
    } else {
        renderWet(offset, n, latency, flags);
    }
    mixOutputs(outputs, count, offset, n, mixBlock->data(), mixBlock->isConstant(), latency, flags);
}

}  // namespace tessel
