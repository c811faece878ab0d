#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bands/GranularTask.h"
#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/Component.h"
#include "engine/wave/Filter.h"
#include "support/FFT.h"

namespace tessel {

/// One band signal of the Linear Phase mode: the input convolved with the kernel of a
/// `Convolver::Kernel` by uniformly partitioned overlap-save, one level per partition size.
/// Samples are collected a partition at a time; while the next partition fills, a granular runner
/// stores, transforms, multiplies with every kernel partition and inverse-transforms the previous
/// one in proportion to the samples received, so every block costs about the same, whatever its
/// size, and no transform runs in one piece. The output lags the plain convolution by two
/// partitions of the finest level (1024 samples) and is silent for those two partitions after a
/// reset. Long kernels get coarser levels (larger partitions) for their tail, whose input is
/// delayed so that every level lags the same.
/// When the kernel activates a new build, the convolver computes the old and the new kernel's
/// outputs side by side and crossfades linearly over 20 ms (it switches at once if nothing has
/// been computed since a reset). Several convolvers (the channels of a band) may share a kernel.
/// A cycle in which the convolver is not pulled counts as a reset, so stale input is never heard.
/// Audio thread only. `filter` and `reset` never allocate, lock or throw; `setKernel` (and a
/// kernel's `setConfiguration`) allocates. Non-finite input makes the output non-finite until it
/// has left the partition ring (kernel length plus three partitions); a reset clears it at once.
class Convolver : public wave::Filter {
public:
    class Configuration;
    class Kernel;

    explicit Convolver(wave::Environment* environment, Kernel* kernel = nullptr);
    ~Convolver() override;

    /// Convolves with `kernel` (null: silence) in the kernel's level configuration. Allocates.
    /// [audio thread, while the graph is rebuilt]
    void setKernel(Kernel* kernel);
    Kernel* kernel() const noexcept { return kernel_; }
    const Configuration* configuration() const noexcept { return configuration_.get(); }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    /// Clears the partition ring, the partition count and any crossfade; restarts the runners.
    /// [audio thread]
    void reset() override { clear(); }

    /// The kernel slot the output is computed with (-1 before the first build arrived).
    int32_t kernelSlot() const noexcept { return newSlot_; }
    /// Crossfades started since construction.
    int32_t crossfadeCount() const noexcept { return crossfadeCount_; }
    /// Runner cost spent by all levels since construction (for tests and benchmarks).
    int64_t lifetimeCost() const noexcept;

private:
    friend class Kernel;
    struct Level;

    /// Rebuilds the levels for a configuration (allocates) and clears them.
    void configure(std::shared_ptr<const Configuration> configuration);
    void clear() noexcept;
    void releaseSlots() noexcept;
    /// At a boundary of the coarsest level: picks up a newly activated kernel slot.
    void pickKernel(int64_t position) noexcept;
    /// Crossfade weights of the new kernel for n samples from `position`.
    void fillGains(int64_t position, int32_t n, float* gains) noexcept;
    void runLevel(Level& level, const float* in, float* out, int32_t n, int64_t position,
                  bool accumulate, const float* gains) noexcept;
    /// At a partition boundary: the finished work becomes the output, the next work is set up.
    void startWork(Level& level, int64_t position) noexcept;
    void setProducts(Level& level, int32_t which, int32_t slot) noexcept;
    void emit(const Level& level, float* out, int32_t n, bool accumulate,
              const float* gains) const noexcept;
    void delayInput(const float* in, float* out, int32_t n) noexcept;

    Kernel* kernel_ = nullptr;
    std::shared_ptr<const Configuration> configuration_;
    std::vector<std::unique_ptr<Level>> levels_;  // coarsest first
    AlignedBuffer<float> delay_;                  // the coarser levels' input delay (a ring)
    int32_t delayIndex_ = 0;
    int32_t newSlot_ = -1;  // kernel slot of the output (the new one during a crossfade)
    int32_t oldSlot_ = -1;  // kernel slot faded out, held until the crossfade ends
    int64_t crossfadeStart_ = 0;
    int64_t crossfadeEnd_ = 0;
    int64_t gainsUntil_ = 0;  // output of both kernels may be mixed until here
    double gain_ = 0.0;       // in float, the steps drift up to 4e-6 from a straight line
    int32_t gainRemaining_ = 0;
    int64_t nextPosition_ = -1;  // where the next block starts if no cycle was skipped
    int32_t crossfadeCount_ = 0;
};

/// The partition levels for one kernel length: starting from 1024-point transforms, kernels of
/// 32768 samples and more get a coarser level whose transform grows by 8 until the kernel is
/// shorter than 32 of them; that level covers the kernel from its third partition on and leaves
/// the first two to a finer level built by the same rule for their length. Up to 16384 samples
/// (every rate up to 192 kHz) this is one level of 512-sample partitions. Also holds the
/// crossfade and scheduling times. Immutable after creation and shared by the kernels and
/// convolvers of one sample rate; its transforms are const and serve any number of buffers.
class Convolver::Configuration {
public:
    static constexpr float kCrossfadeMs = 20.0f;
    static constexpr int32_t kMaxKernelLength = FFT::kMaximumSize;

    /// One level: partitions of half the transform size, covering kernel samples
    /// [kernelOffset, kernelEnd) in partitionCount partitions (the last one zero-padded).
    struct Level {
        explicit Level(int32_t size) : fft(size) {}
        int32_t transformSize = 0;
        int32_t partitionSize = 0;
        int32_t partitionCount = 0;
        int32_t kernelOffset = 0;
        int32_t kernelEnd = 0;
        int32_t slotOffset = 0;  // where its partition spectra start within a kernel slot
        FFT fft;                 // rectangular window
    };

    /// Levels for `kernelLength` samples (limited to 1..kMaxKernelLength) at a sample rate (a
    /// rate that is not positive and finite counts as 44.1 kHz) with a crossfade time (NaN or
    /// negative: 0, no crossfade). Allocates.
    static std::shared_ptr<const Configuration> create(int32_t kernelLength, float sampleRateHz,
                                                       float crossfadeMs = kCrossfadeMs);
    /// The linear-phase band filters' configuration at a rate (LinearPhaseSizing's kernel length).
    static std::shared_ptr<const Configuration> forSampleRate(float sampleRateHz);

    int32_t kernelLength() const noexcept { return kernelLength_; }
    float sampleRateHz() const noexcept { return sampleRateHz_; }
    int32_t levelCount() const noexcept { return static_cast<int32_t>(levels_.size()); }
    /// Level 0 is the coarsest, levelCount() - 1 the finest.
    const Level& level(int32_t index) const noexcept {
        return levels_[static_cast<std::size_t>(index)];
    }
    /// Floats of one kernel slot: every level's partition spectra.
    int32_t slotSize() const noexcept { return slotSize_; }
    /// Kernel slots: the active one, the one faded out, the one being built and one activated
    /// but not yet picked up (3 without crossfade).
    int32_t slotCount() const noexcept { return crossfadeSamples_ > 0 ? 4 : 3; }
    int32_t crossfadeSamples() const noexcept { return crossfadeSamples_; }
    /// A kernel build is spread over the crossfade time rounded up to whole partitions of the
    /// coarsest level, plus one partition; the new kernel activates when that time has passed.
    int32_t schedulingSamples() const noexcept { return schedulingSamples_; }
    /// Delay of the coarser levels' input: the finest level's transform size (0 with one level).
    int32_t inputDelaySamples() const noexcept { return levels_.size() > 1 ? lagSamples() : 0; }
    /// Lag of the output behind the plain convolution: two partitions of the finest level.
    int32_t lagSamples() const noexcept { return 2 * levels_.back().partitionSize; }
    /// Band delay of a linear-phase kernel: half the kernel plus the lag.
    int32_t latencySamples() const noexcept { return kernelLength_ / 2 + lagSamples(); }

private:
    Configuration() = default;
    void addLevels(int32_t length);

    int32_t kernelLength_ = 0;
    float sampleRateHz_ = 0.0f;
    int32_t crossfadeSamples_ = 0;
    int32_t schedulingSamples_ = 0;
    int32_t slotSize_ = 0;
    std::vector<Level> levels_;
};

/// A convolution kernel as partition spectra for every level, built while audio runs: a build
/// (`markForUpdate`, or a new impulse response) runs its tasks through a granular runner over the
/// configuration's scheduling time, into a free slot of a small ring, and that slot activates
/// when the time has passed. Convolvers pick the active slot up at their next coarse partition
/// boundary and hold the slots they read, so a build never overwrites a kernel in use. Derived
/// kernels compute the impulse response with tasks of their own that run first in every build
/// (FrequencyResponseKernel); the partition tasks then split it into partitions and transform
/// them. A kernel advances with the blocks of its convolvers, once per cycle however many call it.
/// Audio thread only; nothing but construction and `setConfiguration` allocates.
class Convolver::Kernel : public wave::Component {
public:
    Kernel(wave::Environment* environment, std::shared_ptr<const Configuration> configuration);
    virtual ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    /// Installs a configuration (a new sample rate): every slot empties, the attached
    /// convolvers are rebuilt for it, and an update is requested. Allocates. [audio thread,
    /// while the graph is rebuilt]
    void setConfiguration(std::shared_ptr<const Configuration> configuration);
    const std::shared_ptr<const Configuration>& configuration() const noexcept {
        return configuration_;
    }

    /// Copies the first kernelLength() samples of an impulse response (missing ones are 0) and
    /// starts a build from it, abandoning one in progress. For kernels without response tasks:
    /// derived kernels overwrite the response in every build. [audio thread]
    void setImpulseResponse(const float* samples, int32_t count) noexcept;
    /// Requests a build; one in progress finishes first, then the next one starts. [audio thread]
    void markForUpdate() noexcept { updatePending_ = true; }
    /// Runs one block's share of the build work; only the first call of a cycle counts. Called
    /// by the convolvers. [audio thread]
    void advance(int32_t frames) noexcept;

    bool updatePending() const noexcept { return updatePending_; }
    bool building() const noexcept { return building_; }
    /// The slot active at a sample position (-1: no kernel built yet).
    int32_t slotAt(int64_t position) const noexcept {
        return pendingSlot_ >= 0 && position >= activationTime_ ? pendingSlot_ : activeSlot_;
    }
    /// Sample position at which the last finished build activates (or activated).
    int64_t activationTime() const noexcept { return activationTime_; }
    /// Builds finished since construction.
    int32_t buildCount() const noexcept { return buildCount_; }
    int64_t lifetimeCost() const noexcept { return runner_.lifetimeCost(); }
    /// Spectrum of partition `index` of a level in a slot (transform size floats).
    const float* partition(int32_t slot, int32_t level, int32_t index) const noexcept;

protected:
    /// Tasks that compute the impulse response, run first in every build. Allocates.
    void setResponseTasks(std::vector<GranularTask*> tasks);
    /// The impulse response the partition tasks read (kernelLength() floats).
    float* impulseResponse() noexcept { return impulse_.data(); }
    /// Called by setConfiguration after the new configuration is installed.
    virtual void configurationChanged() {}

private:
    friend class Convolver;
    class StoreInputTask;

    void install(std::shared_ptr<const Configuration> configuration);
    void startBuild() noexcept;
    void acquireSlot(int32_t slot) noexcept;
    void releaseSlot(int32_t slot) noexcept;
    void attach(Convolver* convolver);
    void detach(Convolver* convolver) noexcept;

    std::shared_ptr<const Configuration> configuration_;
    AlignedBuffer<float> slots_;
    std::vector<int32_t> users_;  // convolvers reading each slot
    AlignedBuffer<float> impulse_;
    std::vector<GranularTask*> responseTasks_;
    std::vector<std::unique_ptr<StoreInputTask>> stores_;  // one per partition of every level
    std::vector<std::unique_ptr<FFTCalculateTask>> transforms_;
    GranularTaskRunner runner_;
    std::vector<Convolver*> convolvers_;
    int32_t activeSlot_ = -1;
    int32_t pendingSlot_ = -1;  // built, active from activationTime_
    int32_t buildSlot_ = -1;
    int32_t buildElapsed_ = 0;  // samples the build in progress has run for
    int64_t activationTime_ = 0;
    int32_t buildCount_ = 0;
    uint32_t lastCycle_ = 0;
    bool advanced_ = false;
    bool building_ = false;
    bool updatePending_ = true;
};

}  // namespace tessel
