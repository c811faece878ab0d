#pragma once

#include <atomic>
#include <cstdint>

#include "params/TesselEnumerations.h"

namespace tessel {

class TesselParameters;

/// The plug-in's latency in samples at a sample rate, from the three settings that change it:
/// the lookahead (the band compander's full 20 ms), the linear-phase band filters (their kernel
/// sizing) and the oversampling converters' round trip. Each part's size is owned by the code
/// that causes the delay; this adds them up. Pure and allocation-free, any thread.
struct TesselLatency {
    int32_t lookaheadSamples = 0;
    int32_t linearPhaseSamples = 0;
    int32_t oversamplingSamples = 0;

    int32_t total() const noexcept {
        return lookaheadSamples + linearPhaseSamples + oversamplingSamples;
    }

    /// oversampling is the Oversampling parameter's index: 0 Off, 1 2x, 2 4x (clamped). A rate
    /// that is not a positive finite number is treated as 44100 Hz.
    static TesselLatency compute(double sampleRateHz, ProcessingMode mode, bool lookaheadEnabled,
                                 int32_t oversampling) noexcept;
    /// The latency a parameter set's stored Processing Mode, Lookahead Enabled and Oversampling
    /// give. For the plug-in model, which evaluates it on its own copy. [thread that owns it]
    static TesselLatency of(const TesselParameters& parameters, double sampleRateHz) noexcept;
};

/// The four inputs of the latency (rate, mode, lookahead, oversampling), packed into one atomic
/// word. The processor writes a field on the thread that changes the matching parameter (before
/// the change is queued for the audio thread) and on sample-rate changes, and computes the
/// latency from a snapshot at once; so the latency is recomputed on the calling thread without
/// reading the audio thread's parameter copy, and two threads changing different inputs at the
/// same moment both land (compare-exchange loop). Lock-free on x86-64. [any thread]
class TesselLatencyInputs {
public:
    struct Values {
        float sampleRateHz = 44100.0f;
        ProcessingMode mode = ProcessingMode::kDynamicPhase;
        bool lookaheadEnabled = true;
        int32_t oversampling = 0;  ///< 0 Off, 1 2x, 2 4x

        TesselLatency latency() const noexcept {
            return TesselLatency::compute(sampleRateHz, mode, lookaheadEnabled, oversampling);
        }
    };

    TesselLatencyInputs() noexcept : word_(pack(Values{})) {}
    explicit TesselLatencyInputs(const Values& values) noexcept : word_(pack(values)) {}

    Values load() const noexcept { return unpack(word_.load(std::memory_order_acquire)); }
    void store(const Values& values) noexcept {
        word_.store(pack(values), std::memory_order_release);
    }
    /// Applies change (a callable taking Values&) atomically; returns the new set.
    template <typename Change>
    Values update(Change&& change) noexcept {
        uint64_t old = word_.load(std::memory_order_acquire);
        Values next;
        do {
            next = unpack(old);
            change(next);
        } while (!word_.compare_exchange_weak(old, pack(next), std::memory_order_acq_rel,
                                              std::memory_order_acquire));
        return next;
    }

private:
    static uint64_t pack(const Values& values) noexcept;
    static Values unpack(uint64_t word) noexcept;

    std::atomic<uint64_t> word_;
};

}  // namespace tessel
