#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "dynamics/LevelSource.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Filter.h"
#include "support/IntervalTimer.h"
#include "support/Property.h"

namespace tessel {

/// A meter on one signal of the graph (an input or output level, or a band's gain change) with
/// three readings for the editor: 0 fast (50 ms hold, 150 dB/s fall), 1 peak hold (2 s, 15 dB/s;
/// frozen while the clip flag is set) and 2 the strongest value since `resetPeak`. The audio
/// thread only reduces each block to its extreme and hands it over lock-free; ballistics, clamping
/// and dB conversion run on the editor thread when it reads, timed by the handed-over sample
/// counts, so readings keep real time at any polling rate. Without audio for longer than the
/// time-out they decay by the editor's own millisecond clock. NaN samples are ignored; infinite
/// ones are extremes like any other, clamped to the top or floor, so readings are always finite.
/// The meter passes its input block on and runs from the environment's root list. Nothing
/// allocates after construction. [audio thread]: `process`, `reset`; [editor thread]: the rest.
class LevelMeter : public wave::FilterBase, public LevelSource, public PropertyOwner {
public:
    /// Units of the incoming samples and of the readings. Unknown values count as linear.
    enum class LevelDomain : int32_t { kLinear = 0, kDecibels = 1, kPower = 2 };

    static constexpr int32_t kReadings = 3;
    /// Longest hold, s; longest time-out, ms; fastest fall, dB/s; limits of top and floor.
    static constexpr float kMaximumHoldSeconds = 3600.0f;
    static constexpr float kMaximumTimeOutMs = 60000.0f;
    static constexpr float kMaximumFallDbPerSecond = 10000.0f;
    static constexpr float kClampLimit = 180.0f;

    /// Joins the environment's root list and reset list. `clock` times the idle decay.
    explicit LevelMeter(wave::Environment* environment,
                        std::unique_ptr<IntervalTimer> clock = IntervalTimer::create());

    // Settings, in this order [editor thread, or before processing starts]. Top and floor are in
    // the output domain's units (dB by default), -180 .. 180; when the floor lies above the top
    // the readings sit at the top.
    /// kLevel: larger values are stronger; otherwise smaller ones are (gain reduction).
    Property<Detection>& detectionProperty() noexcept { return detection_; }
    /// Lets samples above full scale (0 dB) set the clip flag.
    Property<bool>& clipDetection() noexcept { return clipDetection_; }
    LimitedProperty<float>& fastHoldSeconds() noexcept { return fastHoldSeconds_; }
    /// Silence after which the readings decay by the clock alone.
    LimitedProperty<float>& timeOutMs() noexcept { return timeOutMs_; }
    Property<LevelDomain>& inputDomain() noexcept { return inputDomain_; }
    LimitedProperty<float>& topDb() noexcept { return topDb_; }
    LimitedProperty<float>& floorDb() noexcept { return floorDb_; }
    Property<LevelDomain>& outputDomain() noexcept { return outputDomain_; }
    LimitedProperty<float>& peakHoldSeconds() noexcept { return peakHoldSeconds_; }
    LimitedProperty<float>& peakFallDbPerSecond() noexcept { return peakFallDbPerSecond_; }
    LimitedProperty<float>& fastFallDbPerSecond() noexcept { return fastFallDbPerSecond_; }

    /// Reduces the input block to its extreme and hands it to the editor side. [audio thread]
    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    /// Called by the environment on sample-rate changes and resets: at its next call the editor
    /// side takes the new rate and resets the readings (not readings 1 and 2 while clipped);
    /// blocks not yet taken over are dropped. [audio thread, or while processing is stopped]
    void reset() override;

    /// [editor thread]
    Detection detection() const override { return detection_; }
    /// Takes over the audio side's blocks (or decays by the clock) and returns reading 0, 1 or 2;
    /// any other index returns the resting value. [editor thread]
    float level(int32_t reading) const override;
    /// Clears the clip flag, ends reading 1's hold and drops reading 2 to rest. [editor thread]
    void resetPeak() override;
    /// Meters hold nothing else. [editor thread]
    void resetHold() override {}
    /// True after a sample above full scale, until `resetPeak`. [editor thread]
    bool clipped() const noexcept { return editor_.clip; }
    /// Samples of audio the editor side has taken over so far (diagnostics). [editor thread]
    int64_t samplesTakenOver() const noexcept { return editor_.samplesTaken; }

    /// For an editor fed through the display stream: takes the audio side's pending block
    /// reduction (extreme in the input domain, sample count) without running the ballistics;
    /// false when there is none. [the thread that writes the display data]
    bool takePublished(float& extreme, int32_t& count) noexcept;
    /// Hands a reduction taken from another meter with the same settings to this one, as if its
    /// own audio side had published it. [editor thread]
    void publishTaken(float extreme, int32_t count) noexcept {
        publish(extreme, count, audioConfig_.load(std::memory_order_acquire));
    }

    void propertyChanged(AbstractProperty* property) override;

private:
    /// One published block reduction. Fields are atomics only so that a read racing with a
    /// rewrite is defined; the counter's ordering decides which values count (see publish).
    struct Slot {
        std::atomic<float> extreme{0.0f};
        std::atomic<int32_t> count{0};
        std::atomic<uint32_t> epoch{0};  // the settings generation it was reduced under
    };
    struct Reading {
        float value = 0.0f;
        int64_t samplesSincePeak = 0;
        int64_t holdSamples = 0;
        float fallPerSample = 0.0f;  // signed: towards the resting value
    };
    /// Everything only the editor thread touches. `level` is const by its interface but moves
    /// the ballistics on, hence mutable.
    struct EditorState {
        Reading readings[kReadings];
        float heldPeak = 0.0f;
        bool clip = false;
        bool idleDecay = false;
        bool byMaximum = true;
        bool convertToDb = false;
        bool powerInput = false;
        float rest = 0.0f;
        float seed = 0.0f;
        float fullScale = 0.0f;
        double sampleRateHz = 44100.0;
        uint32_t epoch = 0;
        int64_t samplesTaken = 0;
    };

    static constexpr int32_t kEmpty = -1;
    /// What emptying the hand-over found: nothing, a block, or a block of older settings.
    enum class TakeOver { kEmpty, kCurrent, kStale };

    void publish(float extreme, int32_t frames, uint64_t config) noexcept;
    TakeOver takeOver(float& extreme, int64_t& count) const noexcept;
    /// A block's extreme in the output domain.
    float toOutputDomain(float extreme) const noexcept;
    /// Runs the ballistics of the three readings with v (output domain) for count samples.
    void feed(float v, int64_t count) const noexcept;
    void runBallistics(int32_t k, float v, int64_t count) const noexcept;
    bool stronger(float a, float b) const noexcept { return editor_.byMaximum ? a > b : a < b; }
    float clampReading(float v) const noexcept;
    /// Holds and falls in samples at the latest sample rate.
    void updateTiming() const noexcept;
    /// Resting value, seed, timing and the audio side's word from the settings; a new epoch when
    /// the meaning of the published values changes.
    void updateDerived(bool newEpoch) noexcept;
    /// Readings to rest as a sample-rate reset does; `restart` also clears the clip flag.
    void resetReadings(bool restart) const noexcept;
    void serviceResetRequest() const noexcept;

    Property<Detection> detection_;
    Property<bool> clipDetection_;
    LimitedProperty<float> fastHoldSeconds_;
    LimitedProperty<float> timeOutMs_;
    Property<LevelDomain> inputDomain_;
    LimitedProperty<float> topDb_;
    LimitedProperty<float> floorDb_;
    Property<LevelDomain> outputDomain_;
    LimitedProperty<float> peakHoldSeconds_;
    LimitedProperty<float> peakFallDbPerSecond_;
    LimitedProperty<float> fastFallDbPerSecond_;

    // Shared between the threads.
    mutable std::atomic<int32_t> counter_{kEmpty};
    Slot slots_[2];
    /// What the audio side needs, in one word: seed bits, absolute and maximum flags, epoch.
    std::atomic<uint64_t> audioConfig_{0};
    std::atomic<float> sampleRateHz_;
    mutable std::atomic<bool> resetRequested_{false};

    mutable EditorState editor_;
    std::unique_ptr<IntervalTimer> clock_;
};

}  // namespace tessel
